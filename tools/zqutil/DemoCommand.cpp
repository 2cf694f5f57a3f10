// zqutil demo: walks the toolkit's typical roads and prints each step. Exits 0
// only when every comparison held.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"
#include "tools/zqutil/Hex.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceLocation.h"
#include "utils/crypto/Crypto.h"
#include "utils/file/AtomicFile.h"
#include "utils/file/File.h"
#include "utils/file/FileCalls.h"
#include "utils/file/FileStream.h"
#include "utils/guid/GUID.h"

namespace zqutil {

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace file = ZQ::RVL::Utils::internal;
using ZQ::RVL::Utils::Config;
using ZQ::RVL::Utils::GUID;

constexpr char kApplication[] = "ZqutilDemo";
constexpr char kCompany[] = "ZQ Demo Works";

class Demo {
 public:
  explicit Demo(std::string folder) : folder_(std::move(folder)) {}

  // Prints one step and remembers whether it held.
  bool Check(bool held, const std::string& what) {
    std::printf("  [%s] %s\n", held ? " ok " : "FAIL", what.c_str());
    allHeld_ = allHeld_ && held;
    return held;
  }
  void Section(const char* title) { std::printf("\n%s\n", title); }
  bool AllHeld() const { return allHeld_; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  bool allHeld_ = true;
};

void SettingsRoad(Demo& demo, const Config& config) {
  demo.Section("1. A block encrypted with the application's own key, kept as a setting");
  const char key[16] = {'d', 'e', 'm', 'o', '-', 'k', 'e', 'y', '-', '0', '1', '2', '3', '4', '5'};
  char block[16];
  std::memcpy(block, "card 4111-1111-1", 16);
  const std::string plain(block, 16);
  Crypto::Encrypt(block, 16, key, false);
  demo.Check(std::string(block, 16) != plain,
             "AES-128 encrypted \"" + plain + "\" to " +
                 ToHex(reinterpret_cast<unsigned char*>(block), 16));
  config.SetData("SecretBlock", reinterpret_cast<unsigned char*>(block), 16);
  unsigned char* stored = nullptr;
  std::uint32_t length = 0;
  const bool read = config.GetData("SecretBlock", stored, length);
  std::unique_ptr<unsigned char[]> owned(stored);
  demo.Check(read && length == 16, "SetData, then GetData returned " + std::to_string(length) +
                                       " bytes in an array the caller owns");
  if (read && length == 16) {
    char back[16];
    std::memcpy(back, stored, 16);
    Crypto::Decrypt(back, 16, key, false);
    demo.Check(std::string(back, 16) == plain,
               "decrypted with the same key: \"" + std::string(back, 16) + "\"");
  }

  demo.Section("2. A fresh identifier kept as text");
  const GUID id = GUID::Create();
  config.SetString("InstallationId", id.ToString());
  std::string text;
  const bool gotText = config.GetString("InstallationId", text);
  demo.Check(gotText && GUID::Create(text) == id,
             "GUID " + id.ToString() + " stored, read back and parsed to the same value");
  config.SetValue("LaunchCount", 42);
  std::int32_t count = 0;
  const bool gotCount = config.GetValue("LaunchCount", count);
  demo.Check(gotCount && count == 42, "integer setting LaunchCount = " + std::to_string(count));
  std::string keys;
  for (const std::string& k : Config(1, kApplication, kCompany).GetKeys()) keys += " " + k;
  demo.Check(!keys.empty(), "keys of the domain:" + keys);
}

// FNV-1a of the file's bytes; nothing when it cannot be read.
std::optional<std::uint64_t> Checksum(const std::string& path) {
  std::string bytes;
  if (file::ReadWholeFile(path, {}, 64u << 20, bytes) != file::ReadStatus::kOk) {
    return std::nullopt;
  }
  std::uint64_t hash = 1469598103934665603u;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return hash;
}

// The size of the regular file at `path`, 0 when it cannot be opened.
std::uint64_t FileSize(const std::string& path) {
  file::OpenedFile opened;
  return file::OpenForReading(path, {}, opened) ? static_cast<std::uint64_t>(opened.info.st_size)
                                                : 0;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  file::AtomicFile replacement;
  return replacement.Begin(path, {}) && replacement.Write(bytes) && replacement.Commit();
}

std::string Hex64(std::uint64_t value) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

void FileRoad(Demo& demo) {
  demo.Section("3. A file in a container, read back chunk by chunk");
  const std::string plainPath = demo.Folder() + "/report.bin";
  const std::string boxPath = demo.Folder() + "/report.zqc";
  const std::string backPath = demo.Folder() + "/report.out";
  std::string plain;
  std::mt19937_64 random(2026);
  for (int i = 0; i < (3 << 20) / 8 + 5; ++i) {
    const std::uint64_t word = random();
    plain.append(reinterpret_cast<const char*>(&word), sizeof word);
  }
  const bool written = WriteWholeFile(plainPath, plain);
  const bool encrypted = written && Crypto::FileEncrypt(plainPath.c_str(), boxPath.c_str(), false);
  demo.Check(encrypted, "FileEncrypt report.bin (" + std::to_string(plain.size()) +
                            " bytes) -> report.zqc (" + std::to_string(FileSize(boxPath)) +
                            " bytes)");
  int size = 0;
  const bool sized = Crypto::FilePlainSize(boxPath.c_str(), size, false);
  demo.Check(sized && static_cast<std::size_t>(size) == plain.size(),
             "FilePlainSize reads " + std::to_string(size) + " plain bytes from the header");
  file::OpenedFile box;
  file::OpenedFile back;
  bool ok =
      file::OpenForReading(boxPath, {}, box) && file::OpenForWritingInPlace(backPath, {}, back);
  file::FileStreamBuf inBuffer(box.fd.Get());
  file::FileStreamBuf outBuffer(back.fd.Get());
  std::istream in(&inBuffer);
  std::ostream out(&outBuffer);
  std::vector<char> buffer(64 * 1024);
  int chunks = 0;
  ok = ok && Crypto::DecryptStreamInit(in, size, false);
  while (ok) {
    int length = static_cast<int>(buffer.size());
    ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, false);
    if (ok) out.write(buffer.data(), length);
    ++chunks;
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  ok = outBuffer.Flush() && back.fd.Close() && ok;
  demo.Check(ok, "decrypted through the chunked decryptor in " + std::to_string(chunks) +
                     " chunks of 64 KiB");
  const auto before = Checksum(plainPath);
  const auto after = Checksum(backPath);
  demo.Check(before && before == after,
             "checksums match: " + Hex64(before.value_or(0)) + " = " + Hex64(after.value_or(0)));
}

void BlobRoad(Demo& demo) {
  demo.Section("4. Three blobs of both forms in one stream");
  const std::string blobs[3] = {"session token 7f3a", std::string(1500, 'x'),
                                "light-form note: not secret"};
  const bool light[3] = {false, false, true};
  std::stringstream stream;
  for (int i = 0; i < 3; ++i) {
    demo.Check(Crypto::SerializeImpl(reinterpret_cast<const unsigned char*>(blobs[i].data()),
                                     static_cast<int>(blobs[i].size()), stream, light[i]),
               std::string("SerializeImpl blob ") + std::to_string(i + 1) + " (" +
                   std::to_string(blobs[i].size()) + " bytes, " + (light[i] ? "light" : "full") +
                   " form)");
  }
  demo.Check(
      stream.str().size() == static_cast<std::size_t>(Crypto::SerializedLengthImpl(18) +
                                                      Crypto::SerializedLengthImpl(1500) + 12 + 27),
      "the stream holds " + std::to_string(stream.str().size()) +
          " bytes, as SerializedLengthImpl foretold");
  for (int i = 0; i < 3; ++i) {
    unsigned char* blob = nullptr;
    int length = 0;
    const bool ok = Crypto::DeserializeImpl(stream, blob, length, light[i]);
    std::unique_ptr<unsigned char[]> owned(blob);
    demo.Check(ok && std::string(reinterpret_cast<char*>(blob), static_cast<std::size_t>(length)) ==
                         blobs[i],
               "DeserializeImpl blob " + std::to_string(i + 1) + " read back intact");
  }
}

struct DemoOptions {
  std::optional<std::string> root;  // none: a temporary folder
  bool keep = false;
};

// Makes a new folder, this user's only, in $TMPDIR (else /tmp).
std::string MakeTemporaryFolder() {
  const std::string parent = TemporaryFolder();
  file::FileDescriptor folder;
  if (!file::OpenFolder(parent, folder)) Fail("cannot open " + parent + ": " + ErrnoText());
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "zqutil-demo-%08x", static_cast<unsigned>(random()));
    if (file::files::MakeFolder(folder.Get(), name, 0700) == 0) return parent + "/" + name;
    if (errno != EEXIST) break;
  }
  Fail("cannot make a folder in " + parent + ": " + ErrnoText());
}

// Removes what is in `folder`, not following links; what cannot be removed stays.
void RemoveContents(const std::string& folder) {
  std::vector<std::pair<std::string, bool>> entries;  // name, is a folder
  file::ListFolder(folder, [&](int fd, const char* name) {
    struct stat info {};
    entries.emplace_back(name, file::files::StatAt(fd, name, info, AT_SYMLINK_NOFOLLOW) == 0 &&
                                   S_ISDIR(info.st_mode));
  });
  file::FileDescriptor fd;
  if (!file::OpenFolder(folder, fd)) return;
  for (const auto& [name, isFolder] : entries) {
    if (isFolder) RemoveContents(folder + "/" + name);
    file::files::Unlink(fd.Get(), name.c_str(), isFolder ? AT_REMOVEDIR : 0);
  }
}

void RunDemo(const DemoOptions& options) {
  if (options.root && options.root->empty()) UsageError("--root needs a folder, not \"\"");
  const bool temporary = !options.root;
  std::string root = temporary ? MakeTemporaryFolder() : *options.root;
  if (root.front() != '/') {
    std::vector<char> cwd(PATH_MAX);
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      Fail("cannot tell the current folder: " + ErrnoText());
    }
    root = std::string(cwd.data()) + "/" + root;
  }
  if (!file::MakeFolders(root, 0700, false)) {
    Fail("cannot make the folder " + root + ": " + ErrnoText());
  }
  if (!temporary) {  // the demo's files would replace what is there
    bool empty = true;
    if (!file::ListFolder(root, [&](int, const char*) { empty = false; })) {
      Fail("cannot read the folder " + root + ": " + ErrnoText());
    }
    if (!empty) {
      UsageError("--root " + root +
                 " is not empty: the demo writes its files and settings there, so it takes a "
                 "new or empty folder");
    }
  }
  ::setenv("ZQ_PREFERENCES_ROOT", root.c_str(), 1);
  std::printf("ZQ::RVL::Utils demo, working in %s\n", Shown(root).c_str());
  const Config config(1, kApplication, kCompany);
  ZQ::RVL::Utils::PreferenceFiles files;
  ZQ::RVL::Utils::LocatePreferenceFiles(1, kApplication, kCompany, files);
  std::printf("settings domain %s (current user), file %s\n",
              ZQ::RVL::Utils::PreferenceDomainName(kApplication, kCompany).c_str(),
              Shown(files.values).c_str());

  Demo demo(root);
  SettingsRoad(demo, config);
  FileRoad(demo);
  BlobRoad(demo);
  std::printf("\n%s\n", demo.AllHeld() ? "demo finished: every comparison held"
                                       : "demo FAILED: see the steps marked FAIL");
  if (temporary && !options.keep) {
    RemoveContents(root);
    file::FileDescriptor parent;
    if (file::OpenFolder(file::ParentOf(root), parent)) {
      file::files::Unlink(parent.Get(), file::NameOf(root).c_str(), AT_REMOVEDIR);
    }
  } else {
    std::printf("the files stay in %s\n", Shown(root).c_str());
  }
  if (!demo.AllHeld()) throw CLI::RuntimeError(kFailed);
}

}  // namespace

void AddDemoCommand(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand("demo", "Walk the toolkit's typical roads, step by step");
  demo->add_option("--root", options->root,
                   "Folder for the settings store and the files (default: a temporary one, "
                   "removed afterwards)")
      ->type_name("DIR");
  demo->add_flag("--keep", options->keep, "Keep the temporary folder for inspection");
  demo->callback([options] { RunDemo(*options); });
}

}  // namespace zqutil
