// Which dictionary each mode works on, where the dictionaries live, their
// permissions, and what happens when the store cannot or may not be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
using zqtest::ReadFile;
namespace fs = std::filesystem;

namespace {

class ConfigScope : public zqtest::PreferencesTest {
 protected:
  // Puts `key` = `value` into the all-users, any-machine dictionary, which no
  // mode writes values to: written in the user scope, then the file copied.
  void SeedAllUsersAnyHost(const std::string& key, const std::string& value) {
    Config(1, "Seed", "Acme").SetString(key, value);
    fs::create_directories(dir_.Path() / "system");
    fs::copy_file(UserFile("com.acme.Seed"), SystemFile("com.acme.App"),
                  fs::copy_options::overwrite_existing);
    fs::permissions(SystemFile("com.acme.App"), fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read);
  }
};

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
  return info.st_mode & 07777;
}

// Every regular file below `root` with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path().string());
  }
  return files;
}

}  // namespace

TEST_F(ConfigScope, ModeOneKeepsEverythingInOneUserDictionary) {
  const Config config(1, "App", "Acme");
  config.SetString("a", "1");
  config.SetValue("b", 2);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), config.GetKeys());
  config.Delete("a");
  std::string value;
  EXPECT_FALSE(config.GetString("a", value));
  EXPECT_EQ(std::vector<std::string>{"b"}, config.GetKeys());
  EXPECT_TRUE(fs::exists(UserFile("com.acme.App")));
  EXPECT_FALSE(fs::exists(dir_.Path() / "system"));
}

TEST_F(ConfigScope, ModeZeroListsAndDeletesInTheAnyMachineDictionary) {
  SeedAllUsersAnyHost("listed", "x");
  const Config config(0, "App", "Acme");
  config.SetString("hosted", "v");

  // The value lives in the this-machine dictionary, which GetKeys and Delete
  // of mode 0 do not see.
  EXPECT_EQ(std::vector<std::string>{"listed"}, config.GetKeys());
  config.Delete("hosted");
  std::string value;
  EXPECT_TRUE(config.GetString("hosted", value));
  EXPECT_EQ("v", value);
  EXPECT_FALSE(config.GetString("listed", value));

  config.Delete("listed");
  EXPECT_TRUE(config.GetKeys().empty());
  EXPECT_TRUE(fs::exists(SystemHostFile("com.acme.App")));
}

TEST_F(ConfigScope, OtherModesHaveNoValueScope) {
  SeedAllUsersAnyHost("listed", "x");
  Config(0, "App", "Acme").SetString("k", "host");
  Config(1, "App", "Acme").SetString("k", "user");
  const auto before = Snapshot(dir_.Path());

  for (std::int32_t mode : {7, -1, 2, INT32_MIN}) {
    SCOPED_TRACE(mode);
    const Config config(mode, "App", "Acme");
    std::string text = "unchanged";
    std::int32_t number = 3;
    unsigned char* data = nullptr;
    std::uint32_t length = 0;
    EXPECT_FALSE(config.GetString("k", text));
    EXPECT_FALSE(config.GetValue("k", number));
    EXPECT_FALSE(config.GetData("k", data, length));
    EXPECT_FALSE(config.GetString("listed", text));
    EXPECT_EQ("unchanged", text);
    EXPECT_EQ(nullptr, data);

    config.SetString("new", "v");
    config.SetValue("new", 1);
    const unsigned char byte = 1;
    config.SetData("new", &byte, 1);
    EXPECT_EQ(before, Snapshot(dir_.Path()));
    // Listing works on the all-users, any-machine dictionary.
    EXPECT_EQ(std::vector<std::string>{"listed"}, config.GetKeys());
  }
  Config(7, "App", "Acme").Delete("listed");
  EXPECT_TRUE(Config(7, "App", "Acme").GetKeys().empty());
}

TEST_F(ConfigScope, DeletingAMissingKeyChangesNothing) {
  const Config config(1, "App", "Acme");
  config.Delete("nothing");
  EXPECT_FALSE(fs::exists(dir_.Path() / "user"));  // nothing made for nothing
  config.SetString("k", "v");
  const std::string before = ReadFile(UserFile("com.acme.App"));
  config.Delete("nothing");
  EXPECT_EQ(before, ReadFile(UserFile("com.acme.App")));
  EXPECT_EQ(std::vector<std::string>{"k"}, config.GetKeys());
}

TEST_F(ConfigScope, DomainsThatCannotNameAFileStoreNothing) {
  struct Case {
    std::string company, application, why;
  };
  const std::vector<Case> cases = {
      {"Acme", "a/b", "slash in the application"},
      {"Ac/me", "App", "slash in the company"},
      {"Acme", "../../../escape", "climbing out of the store"},
      {"Acme", std::string(200, 'x'), "longer than a file name allows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    for (std::int32_t mode : {0, 1}) {
      const Config config(mode, c.application, c.company);
      config.SetString("k", "v");
      std::string value;
      EXPECT_FALSE(config.GetString("k", value));
      EXPECT_TRUE(config.GetKeys().empty());
    }
  }
  EXPECT_TRUE(Entries(dir_.Path()).empty());
  EXPECT_FALSE(fs::exists(dir_.Path().parent_path() / "escape.plist"));
}

TEST_F(ConfigScope, FoldersAndFilesGetExactModesWhateverTheUmask) {
  const mode_t oldMask = ::umask(077);
  Config(1, "App", "Acme").SetString("k", "v");
  Config(0, "App", "Acme").SetString("k", "v");
  ::umask(022);
  Config(1, "Other", "Acme").SetString("k", "v");
  ::umask(oldMask);

  EXPECT_EQ(0700u, ModeOf((dir_.Path() / "user").string()));
  EXPECT_EQ(0600u, ModeOf(UserFile("com.acme.App")));
  EXPECT_EQ(0600u, ModeOf(UserFile("com.acme.Other")));
  EXPECT_EQ(0755u, ModeOf((dir_.Path() / "system").string()));
  EXPECT_EQ(0755u, ModeOf((dir_.Path() / "system" / "ByHost").string()));
  EXPECT_EQ(0644u, ModeOf(SystemHostFile("com.acme.App")));
}

TEST_F(ConfigScope, UnusableHostIdLeavesOnlyTheThisMachineScopeOut) {
  const std::string tooLong(65, 'a');
  for (const std::string& id : {std::string(), std::string("a/b"), std::string(".."),
                                std::string("id with space"), tooLong}) {
    SCOPED_TRACE(id);
    zqtest::ScopedEnv host("ZQ_HOST_ID", std::string(id));
    Config(0, "App", "Acme").SetString("k", "v");
    Config(1, "App", "Acme").SetString("k", "user");
    std::string value;
    EXPECT_FALSE(Config(0, "App", "Acme").GetString("k", value));
    EXPECT_TRUE(Config(1, "App", "Acme").GetString("k", value));
  }
  EXPECT_FALSE(fs::exists(dir_.Path() / "system"));
}

// Without ZQ_PREFERENCES_ROOT the current user's files live under
// $XDG_CONFIG_HOME, or ~/.config when that is unset or relative. Both point
// into the test's folder here; the all-users scope (/var/lib) is not touched.
TEST_F(ConfigScope, UserScopeFollowsXdgConfigHome) {
  zqtest::ScopedEnv noRoot("ZQ_PREFERENCES_ROOT", std::nullopt);
  zqtest::ScopedEnv home("HOME", (dir_.Path() / "home").string());
  const fs::path inHome = dir_.Path() / "home" / ".config" / "zq" / "preferences";
  const fs::path inXdg = dir_.Path() / "xdg" / "zq" / "preferences";
  {
    zqtest::ScopedEnv xdg("XDG_CONFIG_HOME", std::string("relative-xdg"));
    Config(1, "App", "Acme").SetString("k", "home");
  }
  EXPECT_TRUE(fs::exists(inHome / "com.acme.App.plist"));
  EXPECT_FALSE(fs::exists("relative-xdg"));
  {  // an empty root is no root
    zqtest::ScopedEnv emptyRoot("ZQ_PREFERENCES_ROOT", std::string());
    std::string value;
    EXPECT_TRUE(Config(1, "App", "Acme").GetString("k", value));
    EXPECT_EQ("home", value);
  }
  EXPECT_EQ(0700u, ModeOf(inHome.string()));
  EXPECT_EQ(0700u, ModeOf((dir_.Path() / "home" / ".config").string()));

  zqtest::ScopedEnv xdg("XDG_CONFIG_HOME", (dir_.Path() / "xdg").string());
  Config(1, "App", "Acme").SetString("k", "xdg");
  EXPECT_TRUE(fs::exists(inXdg / "com.acme.App.plist"));
  std::string value;
  EXPECT_TRUE(Config(1, "App", "Acme").GetString("k", value));
  EXPECT_EQ("xdg", value);
}

// Were the root ignored, the user scope would land in the home folder, which
// points into the test's folder here; the all-users scope is left out so that
// even a broken store cannot reach /var/lib. (An empty root is no root: see
// UserScopeFollowsXdgConfigHome.)
TEST_F(ConfigScope, RelativeRootIsRefused) {
  const std::string relative = "zq-relative-preferences-root";
  zqtest::ScopedEnv home("HOME", (dir_.Path() / "home").string());
  zqtest::ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
  {
    zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", relative);
    const Config config(1, "App", "Acme");
    config.SetString("k", "v");
    std::string stored;
    EXPECT_FALSE(config.GetString("k", stored));
  }
  EXPECT_FALSE(fs::exists(relative));
  EXPECT_FALSE(fs::exists(dir_.Path() / "home"));
}

bool DropToNobody() {
  return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

// A process without the right to write the all-users scope stores nothing and
// leaves every file as it was; it still reads. Root is not stopped by
// permissions, so as root the writer drops to the user "nobody" in a child
// process; otherwise the all-users folders are made read-only.
TEST_F(ConfigScope, AllUsersScopeWithoutWriteRightStoresNothing) {
  const bool root = ::geteuid() == 0;
  if (root && zqtest::RunInChild(DropToNobody) != 0) {
    GTEST_SKIP() << "running as root without the right to switch to user nobody";
  }
  const Config config(0, "App", "Acme");
  config.SetString("k", "old");
  SeedAllUsersAnyHost("listed", "x");
  const fs::path system = dir_.Path() / "system";
  const auto before = Snapshot(system);

  const auto writeBit = root ? fs::perms::none : fs::perms::owner_write;
  fs::permissions(system, writeBit, fs::perm_options::remove);
  fs::permissions(system / "ByHost", writeBit, fs::perm_options::remove);
  fs::permissions(dir_.Path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  const int status = zqtest::RunInChild([&] {
    if (root && !DropToNobody()) return false;
    config.SetString("k", "new");
    config.SetString("fresh", "new");
    const unsigned char byte = 1;
    config.SetData("k", &byte, 1);
    config.Delete("listed");
    std::string value;
    return config.GetString("k", value) && value == "old" &&
           config.GetKeys() == std::vector<std::string>{"listed"};
  });
  fs::permissions(system, writeBit, fs::perm_options::add);
  fs::permissions(system / "ByHost", writeBit, fs::perm_options::add);

  EXPECT_EQ(0, status);
  EXPECT_EQ(before, Snapshot(system));
}
