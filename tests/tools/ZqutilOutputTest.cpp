// zqutil's outputs through the library's atomic replacement: an existing
// file keeps its mode, a symbolic link at the output stays and its target gets
// the bytes, and the folder is fsynced after the rename (seen with strace).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class ZqutilOutput : public ::testing::Test {
 protected:
  // Runs `<prefix> zqutil crypt encrypt plain <out>` in the test's folder with
  // umask 022; returns the exit code.
  int Encrypt(const std::string& out, const std::string& prefix = "") {
    zqtest::WriteFile(dir_.File("plain"), "settings and secrets");
    const std::string command = "cd '" + dir_.Path().string() + "' && umask 022 && " + prefix +
                                " '" + ZQUTIL_PATH + "' crypt encrypt plain " + out +
                                " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }
  zqtest::TempDir dir_;
};

}  // namespace

TEST_F(ZqutilOutput, KeepsModeAndLinksOfTheFileItReplaces) {
  const std::string box = dir_.File("box");
  const std::string target = dir_.File("target");
  struct Case {
    const char* why;
    mode_t existing;  // 0: no file yet
    bool link;        // box is a link to `target`
    mode_t expected;
  };
  const Case cases[] = {{"a new file gets 0666 less the umask", 0, false, 0644},
                        {"a private file stays private", 0600, false, 0600},
                        {"a group file stays so", 0640, false, 0640},
                        {"a link stays, its target keeps its mode", 0600, true, 0600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    fs::remove(box);
    fs::remove(target);
    const std::string written = c.link ? target : box;
    if (c.existing != 0) {
      zqtest::WriteFile(written, "old");
      ::chmod(written.c_str(), c.existing);
    }
    if (c.link) fs::create_symlink("target", box);
    ASSERT_EQ(0, Encrypt("box"));
    EXPECT_EQ(c.link, fs::is_symlink(fs::symlink_status(box)));
    EXPECT_EQ(c.expected, ModeOf(written));
    EXPECT_EQ(0, zqtest::ReadFile(written).rfind("ZQCRYPTO", 0));
  }
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp-"));
  }
}

TEST_F(ZqutilOutput, SyncsTheFolderAfterTheRename) {
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here";
  }
  const std::string log = dir_.File("trace");
  // LeakSanitizer cannot run under a tracer: a sanitizer build's zqutil would
  // abort at its exit.
  ASSERT_EQ(0, Encrypt("box", "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -y -e "
                              "trace=fsync,rename,renameat,renameat2 -o " + log));
  const std::string trace = zqtest::ReadFile(log);
  const auto rename = trace.find("rename");
  ASSERT_NE(std::string::npos, rename) << trace;
  const std::regex folderSync("fsync\\([0-9]+<" + fs::canonical(dir_.Path()).string() + ">\\) *= 0");
  EXPECT_TRUE(std::regex_search(trace.substr(rename), folderSync)) << trace;
}

// In a shared sticky folder such as /tmp, another user's link must not make
// the tool replace a file that user may not write (the kernel's
// protected_symlinks rule, which the tool's own walk along links bypassed).
TEST_F(ZqutilOutput, NeverFollowsAnotherUsersLinkInASharedStickyFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  const fs::path shared = dir_.Path() / "shared";
  fs::create_directory(shared);
  ::chmod(shared.c_str(), 01777);
  zqtest::WriteFile(dir_.File("victim"), "precious");
  fs::create_symlink(dir_.File("victim"), shared / "out");
  ASSERT_EQ(0, ::lchown((shared / "out").c_str(), 65534, 65534));
  EXPECT_NE(0, Encrypt("shared/out"));
  EXPECT_EQ("precious", zqtest::ReadFile(dir_.File("victim")));
  ASSERT_EQ(0, ::lchown((shared / "out").c_str(), 0, 0));  // one's own link is followed
  EXPECT_EQ(0, Encrypt("shared/out"));
  EXPECT_EQ(0, zqtest::ReadFile(dir_.File("victim")).rfind("ZQCRYPTO", 0));
}
