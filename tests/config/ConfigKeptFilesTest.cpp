// Reads reuse the dictionary of a file whose bytes did not change. These
// tests change a file behind the store's back in the ways that fool checks of
// inode, size and time stamps, and expect every read to see the new bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The one settings file below `root`.
fs::path OnlyPlist(const fs::path& root) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().extension() == ".plist") found.push_back(entry.path());
  }
  return found.size() == 1 ? found.front() : fs::path();
}

// Overwrites `path` in place with `bytes` (same inode) and puts its access and
// modification times back as they were.
void RewriteInPlaceKeepingTimes(const fs::path& path, const std::string& bytes) {
  struct stat before {};
  ASSERT_EQ(0, ::stat(path.c_str(), &before));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::pwrite(fd, bytes.data(), bytes.size(), 0));
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, ::futimens(fd, times));
  ASSERT_EQ(0, ::close(fd));

  struct stat after {};
  ASSERT_EQ(0, ::stat(path.c_str(), &after));
  ASSERT_EQ(before.st_ino, after.st_ino);
  ASSERT_EQ(before.st_size, after.st_size);
  ASSERT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  ASSERT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

class ConfigKeptFiles : public zqtest::PreferencesTest {
 protected:
  // Stores `texts` (key, value) through `config` and returns the one
  // settings file of the store.
  fs::path StoreTexts(const Config& config,
                      std::initializer_list<std::pair<const char*, const char*>> texts) {
    for (const auto& [key, value] : texts) config.SetString(key, value);
    return OnlyPlist(dir_.Path());
  }
};

}  // namespace

TEST_F(ConfigKeptFiles, ASameSizedEditInPlaceWithItsTimesPutBackIsSeen) {
  const Config config(1, "App", "Acme");
  const fs::path file = StoreTexts(config, {{"colour", "blue"}, {"other", "kept"}});
  ASSERT_FALSE(file.empty());
  const std::string blue = ReadFile(file);

  // The same dictionary with "pink", written by this store into a second root.
  std::string pink;
  {
    zqtest::TempDir other;
    zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", other.Path().string());
    config.SetString("colour", "pink");
    config.SetString("other", "kept");
    pink = ReadFile(OnlyPlist(other.Path()));
  }
  ASSERT_EQ(blue.size(), pink.size());
  ASSERT_NE(blue, pink);

  std::string value;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const bool isPink = round % 2 == 0;
    RewriteInPlaceKeepingTimes(file, isPink ? pink : blue);
    // A process decodes the whole file on its second read of the same bytes
    // and reuses that dictionary from the third on.
    for (int read = 0; read < 3; ++read) {
      ASSERT_TRUE(config.GetString("colour", value));
      EXPECT_EQ(isPink ? "pink" : "blue", value);
    }
  }
  // A write starts from the file as it is now: decoded afresh, or, after
  // reads of these very bytes, from the dictionary they kept.
  for (int reads : {0, 3}) {
    SCOPED_TRACE(reads);
    RewriteInPlaceKeepingTimes(file, pink);
    for (int read = 0; read < reads; ++read) ASSERT_TRUE(config.GetString("colour", value));
    config.SetString("third", std::to_string(reads));
    ASSERT_TRUE(config.GetString("colour", value));
    EXPECT_EQ("pink", value);
    ASSERT_TRUE(config.GetString("third", value));
    EXPECT_EQ(std::to_string(reads), value);
    // Put the two-key file back for the next turn.
    config.Delete("third");
    pink = ReadFile(file);
    ASSERT_EQ(blue.size(), pink.size());
  }
}

TEST_F(ConfigKeptFiles, ManyDomainsAndLargeFilesReadRight) {
  // More domains than are kept at once, read round after round, each changed
  // between rounds by a write.
  constexpr int kDomains = 12;
  for (int round = 0; round < 3; ++round) {
    for (int d = 0; d < kDomains; ++d) {
      const Config config(1, "App" + std::to_string(d), "Acme");
      config.SetValue("n", d * 10 + round);
    }
    for (int pass = 0; pass < 3; ++pass) {
      for (int d = 0; d < kDomains; ++d) {
        const Config config(1, "App" + std::to_string(d), "Acme");
        std::int32_t n = -1;
        ASSERT_TRUE(config.GetValue("n", n));
        EXPECT_EQ(d * 10 + round, n);
        EXPECT_EQ(std::vector<std::string>{"n"}, config.GetKeys());
      }
    }
  }

  // A file larger than what is kept is decoded on every read.
  const Config big(1, "Big", "Acme");
  const std::vector<unsigned char> block(700 * 1024, 0x5a);
  big.SetData("a", block.data(), static_cast<std::uint32_t>(block.size()));
  big.SetData("b", block.data(), static_cast<std::uint32_t>(block.size()));
  for (int round = 0; round < 3; ++round) {
    big.SetString("round", std::to_string(round));
    std::string value;
    ASSERT_TRUE(big.GetString("round", value));
    EXPECT_EQ(std::to_string(round), value);
  }
}

TEST_F(ConfigKeptFiles, AKeyNamedTwiceReadsTheSameOnEveryRead) {
  // Another program's file may name a key twice. Readers differ on which
  // value counts and a rewrite would drop one, so the file is damaged: the
  // first read, which decodes one value, and later ones must agree on that.
  const Config config(1, "Twice", "Acme");
  const fs::path file = StoreTexts(config, {{"kA", "first"}, {"kB", "later"}});
  ASSERT_FALSE(file.empty());
  std::string binary = ReadFile(file);
  const auto at = binary.find("kB");
  ASSERT_NE(std::string::npos, at);
  ASSERT_EQ(std::string::npos, binary.find("kB", at + 1));
  binary.replace(at, 2, "kA");  // both entries are now named "kA"
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>kA</key><string>first</string>
<key>other</key><string>o</string>
<key>kA</key><string>later</string>
</dict></plist>
)";
  for (const std::string& bytes : {binary, xml}) {
    SCOPED_TRACE(bytes == xml ? "XML" : "binary");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    for (int read = 0; read < 3; ++read) {
      std::string value;
      EXPECT_FALSE(config.GetString("kA", value));
      EXPECT_TRUE(config.GetKeys().empty());
    }
  }
}
