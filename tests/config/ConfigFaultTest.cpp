// A write that the file system cuts short stores nothing: the old file stays
// byte for byte, no temporary file is left, and the next write that fits
// takes effect. The failure comes from the file system itself: the file size
// limit at every byte of the new file, a full tmpfs, a read-only remount.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
using zqtest::ReadFile;
using zqtest::WriteFile;
namespace fs = std::filesystem;

namespace {

class ConfigFault : public zqtest::PreferencesTest {
 protected:
  const std::string domain_ = "com.acme.App";
  const Config config_{1, "App", "Acme"};

  std::string File() const { return UserFile(domain_); }

  // Names in the domain's folder that are neither data nor lock files.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& name : DataFiles(dir_.Path() / "user")) {
      if (name != domain_ + ".plist") left.push_back(name);
    }
    return left;
  }
};

// A tmpfs of `size` mounted on `folder` for the lifetime of the object, when
// this process may mount (root, outside a restricted container).
class TmpfsMount {
 public:
  TmpfsMount(const fs::path& folder, const std::string& size) : folder_(folder) {
    fs::create_directories(folder);
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }
  bool RemountReadOnly() {
    return ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  fs::path folder_;
  bool mounted_ = false;
  std::string error_;
};

// A store on a 256 KiB tmpfs of its own, holding one domain file with the
// text "old value" under "keep". Skips when this process cannot mount.
class ConfigFaultOnTmpfs : public ConfigFault {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    mount_ = std::make_unique<TmpfsMount>(root_, "256k");
    if (!mount_->Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << mount_->Error();
    env_ = std::make_unique<zqtest::ScopedEnv>("ZQ_PREFERENCES_ROOT", root_.string());
    config_.SetString("keep", "old value");
    old_ = ReadFile(file_);
    ASSERT_FALSE(old_.empty());
  }

  const fs::path root_ = dir_.Path() / "mnt";
  const std::string file_ = (root_ / "user" / (domain_ + ".plist")).string();
  std::unique_ptr<TmpfsMount> mount_;
  std::unique_ptr<zqtest::ScopedEnv> env_;
  std::string old_;
};

}  // namespace

// Every byte count at which the new file can be cut, for a text and a byte
// value, in a child process that holds the limit (SIGXFSZ ignored, so the
// write fails with EFBIG like on a full disk).
TEST_F(ConfigFault, WriteCutAtAnyByteByTheFileSizeLimitStoresNothing) {
  config_.SetString("keep", "old value");
  config_.SetData("blob", reinterpret_cast<const unsigned char*>("\1\2\3"), 3);
  const std::string old = ReadFile(File());
  ASSERT_FALSE(old.empty());

  const int status = zqtest::RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    const std::string text(300, 't');
    const std::string bytes(700, '\xa5');
    for (int kind = 0; kind < 2; ++kind) {
      std::size_t firstFit = 0;
      for (std::size_t cut = 0; firstFit == 0 && cut < (1u << 16); ++cut) {
        WriteFile(File(), old);
        limit.rlim_cur = cut;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        if (kind == 0) {
          config_.SetString("new", text);
        } else {
          config_.SetData("new", reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<std::uint32_t>(bytes.size()));
        }
        limit.rlim_cur = unlimited;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string now = ReadFile(File());
        if (now == old) {
          if (!Leftovers().empty()) {
            std::fprintf(stderr, "cut at %zu: %s left behind\n", cut, Leftovers()[0].c_str());
            return false;
          }
          continue;
        }
        // The write took effect: it must be whole and fit the limit.
        firstFit = cut;
        std::string value;
        unsigned char* data = nullptr;
        std::uint32_t length = 0;
        const bool stored = kind == 0
                                ? config_.GetString("new", value) && value == text
                                : config_.GetData("new", data, length) &&
                                      std::string(reinterpret_cast<char*>(data), length) == bytes;
        delete[] data;
        if (!stored || now.size() != cut || !config_.GetString("keep", value) ||
            value != "old value") {
          std::fprintf(stderr, "cut at %zu: the file changed but is not the whole new one\n", cut);
          return false;
        }
      }
      if (firstFit == 0) return false;
    }
    return true;
  });
  EXPECT_EQ(0, status) << "see the child's messages";
}

TEST_F(ConfigFaultOnTmpfs, FullFileSystemKeepsTheOldFile) {
  // Fill the file system to the last byte.
  {
    std::ofstream filler(root_ / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  const std::string big(20000, 'b');
  config_.SetData("big", reinterpret_cast<const unsigned char*>(big.data()),
                  static_cast<std::uint32_t>(big.size()));
  config_.SetString("small", "s");
  EXPECT_EQ(old_, ReadFile(file_));
  std::string value;
  EXPECT_TRUE(config_.GetString("keep", value));
  EXPECT_EQ("old value", value);
  for (const auto& entry : fs::directory_iterator(root_ / "user")) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp-")) << entry.path();
  }

  fs::remove(root_ / "filler");
  config_.SetString("small", "s");
  EXPECT_TRUE(config_.GetString("small", value));
  EXPECT_TRUE(config_.GetString("keep", value));
}

TEST_F(ConfigFaultOnTmpfs, ReadOnlyFileSystemKeepsTheOldFile) {
  ASSERT_TRUE(mount_->RemountReadOnly());
  config_.SetString("keep", "new value");
  config_.SetString("other", "x");
  config_.Delete("keep");
  EXPECT_EQ(old_, ReadFile(file_));
  std::string value;
  EXPECT_TRUE(config_.GetString("keep", value));
  EXPECT_EQ("old value", value);
  EXPECT_FALSE(config_.GetString("other", value));
  EXPECT_EQ(std::vector<std::string>{"keep"}, config_.GetKeys());
}
