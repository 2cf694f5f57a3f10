// zqutil's files through the file layer: an existing file keeps its mode, a
// symbolic link at the output stays and its target gets the bytes, the folder
// is fsynced after the rename (seen with strace); closed standard descriptors,
// outputs that are not regular files, the replacement policy, interrupts and
// errors that only the close reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
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

  // A shell line run in the test's folder with umask 022, $ZQ naming zqutil:
  // its exit code and a text its stderr holds.
  struct Row {
    const char* why;
    std::string command;
    int code;
    const char* message;
  };
  void Check(const Row& row) {
    const int status =
        std::system(("ZQ='" + std::string(ZQUTIL_PATH) + "'; cd '" + dir_.Path().string() +
                     "' && umask 022 && ( " + row.command + " ) >stdout 2>stderr")
                        .c_str());
    const std::string err = zqtest::ReadFile(dir_.File("stderr"));
    EXPECT_EQ(row.code, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << row.why << ": " << err;
    EXPECT_NE(std::string::npos, err.find(row.message)) << row.why << ": " << err;
  }
  // Runs `check` after the tool, whatever it did: exit 9 when it fails, else
  // the tool's exit code.
  static std::string Then(const std::string& check) {
    return "; code=$?; " + check + " || exit 9; exit $code";
  }
  // Writes `plain` (272 bytes unless given) and its 300-byte container, box.
  std::string MakeBox(const std::string& plain = zqtest::Pattern(272)) {
    zqtest::WriteFile(dir_.File("plain"), plain);
    const std::string box = dir_.File("box");
    EXPECT_TRUE(Crypto::FileEncrypt(dir_.File("plain").c_str(), box.c_str(), false));
    ::chmod(box.c_str(), 0644);
    return plain;
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
  ASSERT_EQ(0, Encrypt("box",
                       "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -y -e "
                       "trace=fsync,rename,renameat,renameat2 -o " +
                           log));
  const std::string trace = zqtest::ReadFile(log);
  const auto rename = trace.find("rename");
  ASSERT_NE(std::string::npos, rename) << trace;
  const std::regex folderSync("fsync\\([0-9]+<" + fs::canonical(dir_.Path()).string() +
                              ">\\) *= 0");
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
  // Nor anywhere on the way: their link to a folder.
  fs::create_directory(dir_.Path() / "theirs");
  fs::create_directory_symlink(dir_.Path() / "theirs", shared / "folder");
  ASSERT_EQ(0, ::lchown((shared / "folder").c_str(), 65534, 65534));
  EXPECT_NE(0, Encrypt("shared/folder/out"));
  EXPECT_FALSE(fs::exists(dir_.Path() / "theirs" / "out"));
  // Nor when the last entry there is a link of ours with a path of its own.
  fs::create_symlink(dir_.File("victim"), dir_.Path() / "theirs" / "ours");
  EXPECT_NE(0, Encrypt("shared/folder/ours"));
  EXPECT_EQ("precious", zqtest::ReadFile(dir_.File("victim")));
  ASSERT_EQ(0, ::lchown((shared / "out").c_str(), 0, 0));  // one's own link is followed
  EXPECT_EQ(0, Encrypt("shared/out"));
  EXPECT_EQ(0, zqtest::ReadFile(dir_.File("victim")).rfind("ZQCRYPTO", 0));
}

// Closed standard descriptors: the layer never hands out 0, 1 or 2, so no
// file of the tool can stand in for stdin, stdout or stderr.
TEST_F(ZqutilOutput, ClosedStandardDescriptorsAreNeverOurFiles) {
  MakeBox();
  zqtest::WriteFile(dir_.File("cut"), zqtest::ReadFile(dir_.File("box")).substr(0, 100));
  ASSERT_EQ(0, ::mkfifo(dir_.File("fifo").c_str(), 0600));
  const Row rows[] = {
      {"stdin closed: not the spool read back as empty",
       "$ZQ crypt encrypt - out <&-" + Then("test ! -e out"), 1,
       "zqutil: cannot read stdin: Bad file descriptor"},
      {"stdout closed: not the spool written over", "$ZQ crypt encrypt - - <plain >&-", 1,
       "zqutil: cannot write stdout: Bad file descriptor"},
      {"stderr closed: no message in the output",
       "cat fifo >got & $ZQ crypt decrypt - fifo <cut 2>&-" + Then("wait && ! grep -q zqutil: got"),
       1, ""},
  };
  for (const Row& row : rows) Check(row);
}

// What is at the path decides how it is written or read.
TEST_F(ZqutilOutput, KindsAtThePath) {
  MakeBox();
  ASSERT_EQ(0, ::mkfifo(dir_.File("fifo").c_str(), 0600));
  fs::create_directory(dir_.File("folder"));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string prefs = "ZQ_PREFERENCES_ROOT=$PWD $ZQ prefs write --company C --app A K ";
#else  // an endless read ends here, not in the host's memory
  const std::string prefs =
      "ulimit -v 2000000; ZQ_PREFERENCES_ROOT=$PWD $ZQ prefs write --company C --app A K ";
#endif
  const Row rows[] = {
      {"stdout by its name is appended to",
       "echo kept >log && $ZQ crypt decrypt box /dev/stdout >>log" +
           Then("echo kept | cat - plain | cmp - log"),
       0, ""},
      {"stderr and another descriptor by their names are appended to",
       "echo kept >log && echo kept >log3 && $ZQ crypt decrypt box /dev/stderr 2>>log && "
       "$ZQ crypt decrypt box /dev/fd/3 3>>log3" +
           Then("echo kept | cat - plain | cmp - log && echo kept | cat - plain | cmp - log3"),
       0, ""},
      {"a FIFO is written in place",
       "cat fifo >got & $ZQ crypt decrypt box fifo" + Then("wait && test -p fifo && cmp got plain"),
       0, ""},
      {"a link to a device is written through",
       "ln -s /dev/null sink && $ZQ crypt decrypt box sink" +
           Then("test -L sink && test -c /dev/null"),
       0, ""},
      {"stdout that is the input is refused",
       "cp box again && ulimit -f 20000 && $ZQ crypt chunks again - >>again", 1,
       "zqutil: cannot write stdout: it is the input file"},
      {"a folder is refused", "$ZQ crypt decrypt box folder", 1,
       "zqutil: cannot write folder: it is a folder"},
      {"a device as data ends at the limit", prefs + "--data-file /dev/zero", 1,
       "zqutil: cannot read /dev/zero: it holds more than 16 MiB"},
      {"a folder as data is refused", prefs + "--data-file folder", 1,
       "zqutil: cannot read folder: it is a folder"},
  };
  for (const Row& row : rows) Check(row);
}

// Replacing a file: what is refused, and the modes given.
TEST_F(ZqutilOutput, ReplacementPolicy) {
  MakeBox();
  const bool root = ::geteuid() == 0;
  // As root every file is writable: the read-only row runs as nobody.
  const bool dropsRoot = root && std::system("command -v setpriv >/dev/null") == 0;
  const std::string nobody =
      "chmod 777 . && setpriv --reuid=nobody --regid=nogroup --clear-groups ";
  const std::string longName(250, 'n');
  const std::string prefs = "ZQ_PREFERENCES_ROOT=$PWD ZQ_HOST_ID=h $ZQ prefs ";
  const auto mode = [](const char* file, const char* bits) {
    return Then(std::string("test $(stat -c %a ") + file + ") = " + bits);
  };
  const Row rows[] = {
      {"a read-only file is refused, as cp does",
       "echo old >ro && chmod 444 ro && " + (dropsRoot ? nobody : "") +
           "$ZQ crypt encrypt plain ro" + Then("grep -qx old ro"),
       1, "zqutil: cannot write ro: it is read-only"},
      {"a file with other names is refused",
       "echo old >linked && ln linked other && $ZQ crypt encrypt plain linked" +
           Then("grep -qx old other"),
       1, "(hard links) that a replacement would split off; remove it first"},
      {"a name of 250 bytes",
       "$ZQ crypt encrypt plain " + longName +
           Then("head -c 8 " + longName + " | grep -q ZQCRYPTO"),
       0, ""},
      {"a private container gives a private file",
       "chmod 600 box && $ZQ crypt decrypt box new" + mode("new", "600"), 0, ""},
      {"and narrows the file it replaces",
       "echo old >old && chmod 600 box && $ZQ crypt decrypt box old" + mode("old", "600"), 0, ""},
      {"a user's export is private",
       prefs + "write --company C --app A --mode 1 K --string v && " + prefs +
           "export --company C --app A --mode 1 mine" + mode("mine", "600"),
       0, ""},
      {"all users' export is not",
       prefs + "write --company C --app A --mode 0 K --string v && " + prefs +
           "export --company C --app A --mode 0 all" + mode("all", "644"),
       0, ""},
      {"a file size limit fails the write, with no temporary file left",
       "head -c 100000 /dev/zero >big && (ulimit -f 10; $ZQ crypt encrypt big capped)" +
           Then("test ! -e capped"),
       1, "File too large"},
      {"a folder named with a slash is refused before anything is read",
       "mkdir d && $ZQ crypt encrypt plain d/" + Then("test -z \"$(ls d)\""), 1, "it is a folder"},
      {"another user's file in a shared sticky folder is refused",
       "mkdir -m 1777 shared && echo old >shared/out && chown nobody shared/out && $ZQ crypt "
       "encrypt plain shared/out" +
           Then("grep -qx old shared/out"),
       1, "it belongs to another user in a shared folder"},
  };
  for (const Row& row : rows) {
    if (root && !dropsRoot && row.command.find("chmod 444") != std::string::npos) {
      std::printf("skipped \"%s\": as root it needs setpriv to run as nobody\n", row.why);
    } else if (!root && row.command.find("chown") != std::string::npos) {
      std::printf("skipped \"%s\": it needs root to give a file away\n", row.why);
    } else {
      Check(row);
    }
  }
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp-"));
  }
}

// A write that fails only at the flush or the close (300 bytes fit in one
// buffer) fails the command, with the reason.
TEST_F(ZqutilOutput, ErrorsAtTheEndFail) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  MakeBox();
  const Row rows[] = {
      {"decrypt", "$ZQ crypt decrypt box /dev/full", 1, "cannot write /dev/full: No space left"},
      {"chunks", "$ZQ crypt chunks box /dev/full", 1, "cannot write /dev/full: No space left"},
      {"stdout by its name", "$ZQ crypt decrypt box /dev/stdout >/dev/full", 1,
       "cannot write /dev/stdout: No space left"},
      {"stdout", "$ZQ crypt encrypt plain - >/dev/full", 1, "cannot write stdout: No space left"},
      {"printed lines", "$ZQ guid new >/dev/full", 1, "cannot write stdout: No space left"},
      {"a report", "$ZQ crypt info box >/dev/full", 1, "cannot write stdout: No space left"},
      {"the version", "$ZQ --version >/dev/full", 1, "cannot write stdout: No space left"},
  };
  for (const Row& row : rows) Check(row);
}

// SIGINT, SIGTERM and SIGHUP in the middle of a command leave no temporary
// file and end it by that signal. Where the file system has unnamed files the
// temporary never has a name; strace, failing that open (the second open in
// the output's folder), makes the tool take the named fallback, which its
// signal handlers remove.
TEST_F(ZqutilOutput, InterruptsLeaveNoTemporaryFile) {
  MakeBox(zqtest::Pattern(3 << 20));
  const bool strace = std::system("strace -o /dev/null true >/dev/null 2>&1") == 0;
  const std::string folder = dir_.File("out");
  const char* sanitizer = std::getenv("ASAN_OPTIONS");  // LeakSanitizer cannot run traced
  const std::string untraced = std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0";
  const struct {
    int signal;
    const char* command;
    bool named;
  } rows[] = {{SIGINT, "decrypt", false},
              {SIGTERM, "decrypt", true},
              {SIGHUP, "chunks", true},
              {SIGINT, "encrypt", true}};
  ::signal(SIGPIPE, SIG_IGN);  // a tool that ended early fails a row, not this program
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.command) + ", " + strsignal(row.signal));
    if (row.named && !strace) {
      std::printf("skipped a named row: strace cannot trace here\n");
      continue;
    }
    fs::create_directory(folder);
    int feed[2];
    ASSERT_EQ(0, ::pipe(feed));
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(feed[0], STDIN_FILENO);
      ::close(feed[1]);
      for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(s, SIG_DFL);
      const std::string out = folder + "/file";
      if (row.named) {
        ::setenv("ASAN_OPTIONS", untraced.c_str(), 1);
        ::execlp("strace", "strace", "-f", "-o", "/dev/null", "-P", folder.c_str(), "-e",
                 "inject=openat:error=EOPNOTSUPP:when=2", ZQUTIL_PATH, "crypt", row.command, "-",
                 out.c_str(), static_cast<char*>(nullptr));
      }
      ::execl(ZQUTIL_PATH, "zqutil", "crypt", row.command, "-", out.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(feed[0]);
    // The tool opens its output before it reads: once it has taken 1 MiB
    // through the 64 KiB pipe, its temporary file exists.
    const std::string input = zqtest::ReadFile(dir_.File(row.command[0] == 'e' ? "plain" : "box"));
    EXPECT_EQ(1 << 20, ::write(feed[1], input.data(), 1 << 20));
    const std::string id = std::to_string(pid);
    const pid_t tool =  // strace's child
        row.named ? std::atoi(zqtest::ReadFile("/proc/" + id + "/task/" + id + "/children").c_str())
                  : pid;
    EXPECT_GT(tool, 0) << "the tool ended early";
    ::kill(tool > 0 ? tool : pid, row.signal);
    ::close(feed[1]);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.signal) << status;
    EXPECT_TRUE(fs::is_empty(folder));
    fs::remove_all(folder);
  }
  ::signal(SIGPIPE, SIG_DFL);
}
