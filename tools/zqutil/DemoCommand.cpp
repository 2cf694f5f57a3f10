// zqutil demo: walks the toolkit's typical roads and prints each step. Exits 0
// only when every comparison held.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Hex.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceLocation.h"
#include "utils/crypto/Crypto.h"
#include "utils/guid/GUID.h"

namespace zqutil {

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace fs = std::filesystem;
using ZQ::RVL::Utils::Config;
using ZQ::RVL::Utils::GUID;

constexpr char kApplication[] = "ZqutilDemo";
constexpr char kCompany[] = "ZQ Demo Works";

class Demo {
 public:
  explicit Demo(fs::path folder) : folder_(std::move(folder)) {}

  // Prints one step and remembers whether it held.
  bool Check(bool held, const std::string& what) {
    std::printf("  [%s] %s\n", held ? " ok " : "FAIL", what.c_str());
    allHeld_ = allHeld_ && held;
    return held;
  }
  void Section(const char* title) { std::printf("\n%s\n", title); }
  bool AllHeld() const { return allHeld_; }
  const fs::path& Folder() const { return folder_; }

 private:
  fs::path folder_;
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

std::uint64_t Checksum(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t hash = 1469598103934665603u;  // FNV-1a
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211u;
    }
  }
  return hash;
}

std::string Hex64(std::uint64_t value) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

void FileRoad(Demo& demo) {
  demo.Section("3. A file in a container, read back chunk by chunk");
  const fs::path plainPath = demo.Folder() / "report.bin";
  const fs::path boxPath = demo.Folder() / "report.zqc";
  const fs::path backPath = demo.Folder() / "report.out";
  {
    std::mt19937_64 random(2026);
    std::ofstream out(plainPath, std::ios::binary);
    for (int i = 0; i < (3 << 20) / 8 + 5; ++i) {
      const std::uint64_t word = random();
      out.write(reinterpret_cast<const char*>(&word), sizeof word);
    }
  }
  std::error_code error;
  const auto plainSize = fs::file_size(plainPath, error);
  const bool encrypted = Crypto::FileEncrypt(plainPath.c_str(), boxPath.c_str(), false);
  demo.Check(encrypted, "FileEncrypt " + plainPath.filename().string() + " (" +
                            std::to_string(plainSize) + " bytes) -> " +
                            boxPath.filename().string() + " (" +
                            std::to_string(fs::file_size(boxPath, error)) + " bytes)");
  int size = 0;
  const bool sized = Crypto::FilePlainSize(boxPath.c_str(), size, false);
  demo.Check(sized && static_cast<std::uintmax_t>(size) == plainSize,
             "FilePlainSize reads " + std::to_string(size) + " plain bytes from the header");
  std::ifstream in(boxPath, std::ios::binary);
  std::ofstream out(backPath, std::ios::binary);
  std::vector<char> buffer(64 * 1024);
  int chunks = 0;
  bool ok = Crypto::DecryptStreamInit(in, size, false);
  while (ok) {
    int length = static_cast<int>(buffer.size());
    ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, false);
    if (ok) out.write(buffer.data(), length);
    ++chunks;
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  out.close();
  demo.Check(ok, "decrypted through the chunked decryptor in " + std::to_string(chunks) +
                     " chunks of 64 KiB");
  const std::uint64_t before = Checksum(plainPath);
  const std::uint64_t after = Checksum(backPath);
  demo.Check(before == after, "checksums match: " + Hex64(before) + " = " + Hex64(after));
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
  std::string root;
  bool keep = false;
};

void RunDemo(const DemoOptions& options) {
  fs::path root = options.root;
  const bool temporary = root.empty();
  if (temporary) {
    std::string pattern = (fs::temp_directory_path() / "zqutil-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary folder");
    root = pattern;
  }
  fs::create_directories(root);
  ::setenv("ZQ_PREFERENCES_ROOT", fs::absolute(root).c_str(), 1);
  std::printf("ZQ::RVL::Utils demo, working in %s\n", root.c_str());
  const Config config(1, kApplication, kCompany);
  ZQ::RVL::Utils::PreferenceFiles files;
  ZQ::RVL::Utils::LocatePreferenceFiles(1, kApplication, kCompany, files);
  std::printf("settings domain %s (current user), file %s\n",
              ZQ::RVL::Utils::PreferenceDomainName(kApplication, kCompany).c_str(),
              files.values.c_str());

  Demo demo(root);
  SettingsRoad(demo, config);
  FileRoad(demo);
  BlobRoad(demo);
  std::printf("\n%s\n", demo.AllHeld() ? "demo finished: every comparison held"
                                       : "demo FAILED: see the steps marked FAIL");
  if (temporary && !options.keep) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  } else {
    std::printf("the files stay in %s\n", root.c_str());
  }
  if (!demo.AllHeld()) throw CLI::RuntimeError(kFailed);
}

}  // namespace

void AddDemoCommand(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand("demo", "Walk the toolkit's typical roads, step by step");
  demo->add_option("--root", options->root,
                   "Folder for the settings store and the files (default: a temporary one, "
                   "removed afterwards)");
  demo->add_flag("--keep", options->keep, "Keep the temporary folder for inspection");
  demo->callback([options] { RunDemo(*options); });
}

}  // namespace zqutil
