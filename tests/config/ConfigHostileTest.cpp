// The store in a hostile environment: special files where its files belong,
// and a set-uid caller that chooses the environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceLocation.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPlanted = "/planted-by-the-caller";

// Run as the re-executed set-uid child of SetUidProcessIgnoresTheEnvironment:
// prints every file the store would use and leaves before any test runs.
const bool gSecureChild = [] {
  if (std::getenv("ZQ_TEST_PRINT_LOCATIONS") == nullptr) return false;
  for (int mode : {0, 1}) {
    ZQ::RVL::Utils::PreferenceFiles files;
    if (ZQ::RVL::Utils::LocatePreferenceFiles(mode, "App", "Acme", files)) {
      std::cout << files.values << '\n' << files.keys << '\n';
    }
  }
  std::cout << "secure=" << ::getauxval(AT_SECURE) << std::endl;
  std::_Exit(0);
}();

bool MakeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool made =
      fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return made;
}

std::string ParentOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

class ConfigHostile : public zqtest::PreferencesTest {};

}  // namespace

// No special file in place of the settings file or its lock file may block a
// read or a write, and none is replaced: the write stores nothing and the
// value stored before stays.
TEST_F(ConfigHostile, SpecialFilesNeverBlockAndAreNeverReplaced) {
  struct Kind {
    const char* name;
    std::function<bool(const std::string&)> make;
  };
  const Kind kinds[] = {
      {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }},
      {"folder", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; }},
      {"socket", MakeSocket},
      {"link to a fifo",
       [](const std::string& p) {
         const std::string fifo = p + "-fifo";
         return ::mkfifo(fifo.c_str(), 0600) == 0 && ::symlink(fifo.c_str(), p.c_str()) == 0;
       }},
      {"link to a device",
       [](const std::string& p) { return ::symlink("/dev/zero", p.c_str()) == 0; }},
      // Read through, it would hand out another file's settings; replaced, a
      // root-only file's contents would be republished at the store's mode.
      {"link to a settings file",
       [](const std::string& p) {
         const std::string target = p + "-target";
         Config(1, "LinkSource", "Acme").SetString("kept", "secret");
         std::filesystem::copy_file(ParentOf(p) + "/com.acme.LinkSource.plist", target);
         return ::chmod(target.c_str(), 0600) == 0 && ::symlink(target.c_str(), p.c_str()) == 0;
       }},
  };
  int domain = 0;
  for (const bool atLock : {false, true}) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(std::string(kind.name) +
                   (atLock ? " at the lock file" : " at the settings file"));
      const Config config(1, "App" + std::to_string(domain), "Acme");
      const std::string file = UserFile("com.acme.App" + std::to_string(domain++));
      config.SetString("kept", "old");
      const std::string special = atLock ? file + ".lock" : file;
      ASSERT_TRUE(fs::remove(special));
      ASSERT_TRUE(kind.make(special));
      struct stat before {};
      ASSERT_EQ(0, ::lstat(special.c_str(), &before));
      EXPECT_EQ(0, zqtest::RunInChild([&] {
                  ::alarm(5);  // a blocked open fails the case instead of hanging it
                  std::string value;
                  const bool read = config.GetString("kept", value);
                  config.SetString("kept", "new");
                  config.Delete("kept");
                  return (atLock ? read && value == "old" : !read) &&
                         config.GetString("kept", value) == read && (!read || value == "old");
                }));
      struct stat after {};
      ASSERT_EQ(0, ::lstat(special.c_str(), &after));
      EXPECT_EQ(before.st_ino, after.st_ino);
      EXPECT_EQ(before.st_mode, after.st_mode);
    }
  }
}

// A lock file that is another name of someone's file (a hard link) is not a
// lock file: writes fail and the file keeps its bytes and mode.
TEST_F(ConfigHostile, AnotherNameOfAFileAtTheLockFilesPathIsNeverChanged) {
  const Config config(1, "App", "Acme");
  config.SetString("kept", "old");
  const std::string lock = UserFile("com.acme.App") + ".lock";
  const std::string notes = dir_.File("notes");
  zqtest::WriteFile(notes, "precious notes");
  ::chmod(notes.c_str(), 0644);
  fs::remove(lock);
  fs::create_hard_link(notes, lock);
  config.SetString("kept", "new");
  std::string value;
  EXPECT_TRUE(config.GetString("kept", value) && value == "old");
  EXPECT_EQ("precious notes", zqtest::ReadFile(notes));
  EXPECT_EQ(fs::perms(0644), fs::status(notes).permissions());
}

// A set-uid root program (real user nobody) must not let its caller pick the
// store or the host id through the environment: the test binary runs itself
// that way and prints the files it would use.
TEST_F(ConfigHostile, SetUidProcessIgnoresTheEnvironment) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process with a real user of nobody";
  // Under valgrind /proc/self/exe is the valgrind tool, not this program.
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "cannot run itself again under valgrind";
  zqtest::ScopedEnv print("ZQ_TEST_PRINT_LOCATIONS", std::string("1"));
  zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", std::string(kPlanted));
  zqtest::ScopedEnv host("ZQ_HOST_ID", std::string("plantedhost"));
  zqtest::ScopedEnv xdg("XDG_CONFIG_HOME", std::string(kPlanted) + "/xdg");
  zqtest::ScopedEnv home("HOME", std::string(kPlanted) + "/home");
  const std::string output = dir_.File("locations");
  EXPECT_EQ(0, zqtest::RunInChild([&] {
              const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
              // Real user nobody, effective user root: the kernel marks the exec secure.
              if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::setresuid(65534, 0, 0) != 0)
                return false;
              ::execl("/proc/self/exe", "zq_config_tests", static_cast<char*>(nullptr));
              return false;
            }));
  const std::string printed = zqtest::ReadFile(output);
  EXPECT_NE(std::string::npos, printed.find("secure=1")) << printed;
  EXPECT_NE(std::string::npos, printed.find("/var/lib/zq/preferences/ByHost/com.acme.App."))
      << printed;
  EXPECT_EQ(std::string::npos, printed.find("planted")) << printed;
}
