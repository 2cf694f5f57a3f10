// Every failure of a settings call says why, one reason per cause, whether
// the cause is the caller's input, the store's place, the file found there or
// the system; and a missing key is told apart from a domain that cannot be
// read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/config/ConfigTestUtil.h"
#include "tests/support/FileFaults.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
using ZQ::RVL::Utils::ConfigError;
using ZQ::RVL::Utils::ConfigStatus;
using ZQ::RVL::Utils::DomainState;
namespace fs = std::filesystem;

namespace {

class ConfigStatusTest : public zqtest::PreferencesTest {
 protected:
  const Config user_{1, "App", "Acme"};
  std::string File() const { return UserFile("com.acme.App"); }
  void PlaceFile(const std::string& bytes) const {
    fs::create_directories(fs::path(File()).parent_path());
    zqtest::WriteFile(File(), bytes);
  }
};

// Each row makes one cause and runs one call; the call fails with that reason.
TEST_F(ConfigStatusTest, EachCauseHasItsReason) {
  const unsigned char byte = 7;
  const struct Row {
    const char* cause;
    std::function<void()> make;
    std::function<bool(ConfigStatus&)> call;
    ConfigError expected;
  } rows[] = {
      {"no value under the key", [] {},
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("missing", v, s);
       },
       ConfigError::kNotFound},
      {"bytes read as text", [&] { user_.SetData("b", &byte, 1); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("b", v, s) || s.Detail() != "the value is bytes";
       },
       ConfigError::kWrongKind},
      {"another program's boolean read as text",
       [&] { PlaceFile("<plist version=\"1.0\"><dict><key>b</key><true/></dict></plist>"); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("b", v, s) || s.Detail().find("a boolean") == std::string::npos;
       },
       ConfigError::kWrongKind},
      {"a text too long to read", [&] { user_.SetString("t", std::string(600, 't')); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("t", v, s) ||
                s.Detail().find("512 characters") == std::string::npos;
       },
       ConfigError::kWrongKind},
      {"empty bytes another program stored",
       [&] { PlaceFile("<plist version=\"1.0\"><dict><key>e</key><data></data></dict></plist>"); },
       [&](ConfigStatus& s) {
         unsigned char* data = nullptr;
         std::uint32_t length = 0;
         return user_.GetData("e", data, length, s) || s.Detail().empty();
       },
       ConfigError::kWrongKind},
      {"a value that is not ASCII", [] {},
       [&](ConfigStatus& s) { return user_.SetString("k", "caf\xc3\xa9", s); },
       ConfigError::kBadArgument},
      {"no bytes to store", [] {},
       [&](ConfigStatus& s) { return user_.SetData("k", nullptr, 4, s); },
       ConfigError::kBadArgument},
      {"a mode without value scope", [] {},
       [&](ConfigStatus& s) { return Config(2, "App", "Acme").SetString("k", "v", s); },
       ConfigError::kNoValueScope},
      {"a relative store root", [] { ::setenv("ZQ_PREFERENCES_ROOT", "relative", 1); },
       [&](ConfigStatus& s) { return user_.SetString("k", "v", s); }, ConfigError::kNoLocation},
      {"a damaged file, read", [&] { PlaceFile("bplist00 not really"); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("k", v, s);
       },
       ConfigError::kDamaged},
      {"a damaged file, listed", [&] { PlaceFile("<plist><dict><key>"); },
       [&](ConfigStatus& s) {
         std::vector<std::string> keys;
         return user_.GetKeys(keys, s);
       },
       ConfigError::kDamaged},
      {"a file beyond the limits",
       [&] {
         PlaceFile("");
         fs::resize_file(File(), 65u << 20);  // sparse
       },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("k", v, s);
       },
       ConfigError::kOverLimits},
      {"a value beyond the limits", [] {},
       [&](ConfigStatus& s) {
         const std::string big(17u << 20, 'x');
         return user_.SetData("k", reinterpret_cast<const unsigned char*>(big.data()),
                              static_cast<std::uint32_t>(big.size()), s);
       },
       ConfigError::kOverLimits},
      {"a FIFO as the domain's file",
       [&] {
         fs::create_directories(fs::path(File()).parent_path());
         ::mkfifo(File().c_str(), 0600);
       },
       [&](ConfigStatus& s) { return user_.SetString("k", "v", s); }, ConfigError::kNotAFile},
      {"a folder as the domain's file", [&] { fs::create_directories(File()); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("k", v, s);
       },
       ConfigError::kNotAFile},
      {"a file where the store's folder belongs, written",
       [&] { zqtest::WriteFile((dir_.Path() / "user").string(), ""); },
       [&](ConfigStatus& s) {
         return user_.SetString("k", "v", s) || s.Detail().find("folder") == std::string::npos;
       },
       ConfigError::kNotAFile},
      {"a file where the store's folder belongs, read",
       [&] { zqtest::WriteFile((dir_.Path() / "user").string(), ""); },
       [&](ConfigStatus& s) {
         std::string v;
         return user_.GetString("k", v, s) || s.Detail().find("folder") == std::string::npos;
       },
       ConfigError::kNotAFile},
      {"a full disk", [] {},
       [&](ConfigStatus& s) {
         const zqtest::FileFaults full(zqtest::FileFaults::Mode::kFailNth,
                                       zqtest::files::Call::kWrite, 0, ENOSPC);
         return user_.SetString("k", "v", s);
       },
       ConfigError::kNoSpace},
      {"a failing disk", [] {},
       [&](ConfigStatus& s) {
         const zqtest::FileFaults failing(zqtest::FileFaults::Mode::kFailNth,
                                          zqtest::files::Call::kSync, 0, EIO);
         return user_.Delete("k", s) && user_.SetString("k", "v", s);
       },
       ConfigError::kSystem},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cause);
    const zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", dir_.Path().string());
    std::error_code ignored;
    fs::remove_all(dir_.Path() / "user", ignored);
    row.make();
    ConfigStatus status;
    EXPECT_FALSE(row.call(status));
    EXPECT_EQ(row.expected, status.Error()) << status.Message();
    EXPECT_FALSE(status.Message().empty());
  }
}

// A caller asks what a domain's file is: a missing key in a sound domain is
// told apart from a file that cannot be read.
TEST_F(ConfigStatusTest, DomainStateTellsWhyNothingReads) {
  const struct {
    const char* file;
    std::function<void()> make;
    DomainState expected;
    ConfigError error;
  } rows[] = {
      {"none yet", [] {}, DomainState::kAbsent, ConfigError::kNotFound},
      {"written", [&] { user_.SetString("k", "v"); }, DomainState::kPresent, ConfigError::kNone},
      {"damaged", [&] { PlaceFile("bplist00\x01\x02"); }, DomainState::kDamaged,
       ConfigError::kDamaged},
      {"beyond the limits",
       [&] {
         PlaceFile("");
         fs::resize_file(File(), 65u << 20);
       },
       DomainState::kOverLimits, ConfigError::kOverLimits},
      {"a FIFO",
       [&] {
         fs::create_directories(fs::path(File()).parent_path());
         ::mkfifo(File().c_str(), 0600);
       },
       DomainState::kUnreadable, ConfigError::kNotAFile},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    std::error_code ignored;
    fs::remove_all(dir_.Path() / "user", ignored);
    row.make();
    ConfigStatus status;
    EXPECT_EQ(row.expected, user_.GetState(status));
    EXPECT_EQ(row.error, status.Error()) << status.Message();
  }
}

// Another user's store: refused by the system, said as such (as root, the
// call runs as nobody; otherwise the folder is made unreadable).
TEST_F(ConfigStatusTest, AnotherUsersStoreIsPermissionDenied) {
  user_.SetString("k", "v");
  ::chmod((dir_.Path() / "user").c_str(), 0700);
  ::chmod(dir_.Path().c_str(), 0755);
  EXPECT_EQ(
      0, zqtest::RunInChild([&] {
        if (::geteuid() == 0) {
          if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            return false;
          }
        } else {
          ::chmod((dir_.Path() / "user").c_str(), 0);
        }
        ConfigStatus read, written, listed;
        std::string value;
        std::vector<std::string> keys;
        const bool failed = !user_.GetString("k", value, read) &&
                            !user_.SetString("k", "w", written) && !user_.GetKeys(keys, listed);
        return failed && read.Error() == ConfigError::kPermission &&
               written.Error() == ConfigError::kPermission &&
               listed.Error() == ConfigError::kPermission;
      }));
  ::chmod((dir_.Path() / "user").c_str(), 0700);
}

}  // namespace
