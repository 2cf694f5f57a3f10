#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/config/ConfigTestUtil.h"
#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace fs = std::filesystem;
using zqtest::Pattern;
using zqtest::ReadFile;
using zqtest::WriteFile;

class FileCipher : public ::testing::Test {
 protected:
  zqtest::TempDir dir_;
  std::string Path(const std::string& name) const { return dir_.File(name); }
};

TEST_F(FileCipher, RoundTripsFilesInBothForms) {
  for (bool light : {false, true}) {
    for (std::size_t n : {0u, 9u, 1024u, 70000u}) {
      const std::string plain = Pattern(n, static_cast<unsigned>(n));
      WriteFile(Path("plain"), plain);
      ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), light));
      const std::string container = ReadFile(Path("box"));
      EXPECT_EQ(light ? 12 + n : zqtest::FullLength(n), container.size());

      int size = -1;
      ASSERT_TRUE(Crypto::FilePlainSize(Path("box").c_str(), size, light));
      EXPECT_EQ(static_cast<int>(n), size);

      ASSERT_TRUE(Crypto::FileDecrypt(Path("box").c_str(), Path("back").c_str(), light));
      EXPECT_EQ(plain, ReadFile(Path("back")));
    }
  }
}

TEST_F(FileCipher, ReplacesAnExistingOutput) {
  WriteFile(Path("plain"), "short");
  WriteFile(Path("box"), Pattern(5000));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  EXPECT_EQ(zqtest::FullLength(5), fs::file_size(Path("box")));
}

TEST_F(FileCipher, MissingInputCreatesNoOutput) {
  const std::string missing = Path("missing");
  EXPECT_FALSE(Crypto::FileEncrypt(missing.c_str(), Path("out").c_str(), false));
  EXPECT_FALSE(Crypto::FileDecrypt(missing.c_str(), Path("out").c_str(), false));
  EXPECT_FALSE(fs::exists(Path("out")));
  int size = 1234;
  EXPECT_FALSE(Crypto::FilePlainSize(missing.c_str(), size, false));
  EXPECT_EQ(1234, size);
  EXPECT_FALSE(Crypto::FileEncrypt(nullptr, Path("out").c_str(), false));
  EXPECT_FALSE(Crypto::FilePlainSize(nullptr, size, false));
}

// A FIFO cannot be measured: refused at once, not waited on for a writer that
// may never come (the child's alarm ends a wait).
TEST_F(FileCipher, FifoInputIsRefusedWithoutWaiting) {
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  for (bool light : {false, true}) {
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      alarm(5);
      _exit(Crypto::FileEncrypt(Path("fifo").c_str(), Path("out").c_str(), light) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(Path("out")));
  }
}

TEST_F(FileCipher, DecryptingANonContainerLeavesAnEmptyOutput) {
  WriteFile(Path("plain"), "this is not a container at all");
  EXPECT_FALSE(Crypto::FileDecrypt(Path("plain").c_str(), Path("out").c_str(), false));
  ASSERT_TRUE(fs::exists(Path("out")));
  EXPECT_EQ(0u, fs::file_size(Path("out")));
}

TEST_F(FileCipher, UnwritableOutput) {
  WriteFile(Path("plain"), "data");
  const std::string inMissingFolder = Path("no/such/folder/out");
  EXPECT_FALSE(Crypto::FileEncrypt(Path("plain").c_str(), inMissingFolder.c_str(), false));
  EXPECT_FALSE(Crypto::FileDecrypt(Path("plain").c_str(), inMissingFolder.c_str(), false));
}

// Encrypting or decrypting a file onto itself would truncate the input before
// reading it: refused, and the file keeps its bytes.
TEST_F(FileCipher, RefusesToOverwriteItsOwnInput) {
  const std::string plain = Pattern(300);
  WriteFile(Path("data"), plain);
  fs::create_hard_link(Path("data"), Path("alias"));
  EXPECT_FALSE(Crypto::FileEncrypt(Path("data").c_str(), Path("data").c_str(), false));
  EXPECT_FALSE(Crypto::FileEncrypt(Path("data").c_str(), Path("alias").c_str(), true));
  EXPECT_FALSE(Crypto::FileDecrypt(Path("data").c_str(), Path("./data").c_str(), false));
  EXPECT_EQ(plain, ReadFile(Path("data")));
}

// A full disk shows only when the buffered bytes are flushed at close.
TEST_F(FileCipher, FullDiskIsReported) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  WriteFile(Path("plain"), Pattern(100));
  EXPECT_FALSE(Crypto::FileEncrypt(Path("plain").c_str(), "/dev/full", false));
  EXPECT_FALSE(Crypto::FileEncrypt(Path("plain").c_str(), "/dev/full", true));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  EXPECT_FALSE(Crypto::FileDecrypt(Path("box").c_str(), "/dev/full", false));
}

// Inputs the signed 32-bit size field cannot describe are refused before the
// output is created. A sparse file makes this cheap.
TEST_F(FileCipher, RefusesInputsOf2GiBOrMore) {
  for (std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 5}) {
    { std::ofstream sparse(Path("huge"), std::ios::binary); }
    std::error_code error;
    fs::resize_file(Path("huge"), size, error);
    if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
    EXPECT_FALSE(Crypto::FileEncrypt(Path("huge").c_str(), Path("out").c_str(), false));
    EXPECT_FALSE(fs::exists(Path("out")));
  }
}

TEST_F(FileCipher, PlainSizeOfDamagedFiles) {
  WriteFile(Path("short"), std::string("ZQCRYPTO\x05", 9));
  int size = -1;
  EXPECT_FALSE(Crypto::FilePlainSize(Path("short").c_str(), size, true));
  EXPECT_EQ(0, size);
  WriteFile(Path("other"), "NOTACONTAINER");
  size = -1;
  EXPECT_FALSE(Crypto::FilePlainSize(Path("other").c_str(), size, false));
  EXPECT_EQ(0, size);
}

// What sits at a path the caller names: every call ends at once (the child's
// alarm fails a row that waits), refuses what it cannot use, and never
// writes through a link or hands another user our bytes.
TEST_F(FileCipher, EveryKindOfFileAtAPathIsDecidedAtOnce) {
  const std::string plain = Pattern(300);
  WriteFile(Path("plain"), plain);
  ::chmod(Path("plain").c_str(), 0600);
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  ASSERT_EQ(0, ::mkfifo(Path("fifo").c_str(), 0600));
  WriteFile(Path("target"), "kept");
  ASSERT_EQ(0, ::symlink(Path("target").c_str(), Path("link").c_str()));
  const std::string box = Path("box");
  struct Row {
    const char* what;
    std::function<bool()> call;  // true when the call did what the row expects
  };
  const Row rows[] = {
      {"FilePlainSize of a FIFO without a writer",
       [&] {
         int size = 7;
         return !Crypto::FilePlainSize(Path("fifo").c_str(), size, false) && size == 7;
       }},
      {"FileDecrypt from a FIFO without a writer",
       [&] { return !Crypto::FileDecrypt(Path("fifo").c_str(), Path("out").c_str(), false); }},
      {"FileEncrypt into a FIFO without a reader",
       [&] { return !Crypto::FileEncrypt(Path("plain").c_str(), Path("fifo").c_str(), false); }},
      {"FileEncrypt of a device that never ends",
       [&] { return !Crypto::FileEncrypt("/dev/zero", Path("out").c_str(), true); }},
      {"FileDecrypt onto a link",
       [&] {
         return !Crypto::FileDecrypt(box.c_str(), Path("link").c_str(), false) &&
                ReadFile(Path("target")) == "kept";
       }},
      {"FileDecrypt into /dev/null",
       [&] { return Crypto::FileDecrypt(box.c_str(), "/dev/null", false); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(0, zqtest::RunInChild([&] {
                ::alarm(5);
                return row.call();
              }));
    EXPECT_FALSE(fs::exists(Path("out")));
  }
}

// A new output gets no more permission than its input, whatever the umask
// lets through; an existing one keeps its own mode.
TEST_F(FileCipher, NewOutputsGetNoMoreThanTheInputsMode) {
  const mode_t old = ::umask(022);
  WriteFile(Path("secret"), Pattern(100));
  ::chmod(Path("secret").c_str(), 0600);
  EXPECT_TRUE(Crypto::FileEncrypt(Path("secret").c_str(), Path("box").c_str(), false));
  EXPECT_TRUE(Crypto::FileDecrypt(Path("box").c_str(), Path("back").c_str(), false));
  WriteFile(Path("existing"), "x");
  ::chmod(Path("existing").c_str(), 0640);
  EXPECT_TRUE(Crypto::FileDecrypt(Path("box").c_str(), Path("existing").c_str(), false));
  ::umask(old);
  EXPECT_EQ(0600u, static_cast<unsigned>(fs::status(Path("box")).permissions()));
  EXPECT_EQ(0600u, static_cast<unsigned>(fs::status(Path("back")).permissions()));
  EXPECT_EQ(0640u, static_cast<unsigned>(fs::status(Path("existing")).permissions()));
}

// In a sticky folder that everybody may write (/tmp), another user may have
// made the output beforehand to read what we write into it, or put a link
// there that leads our output into a folder of theirs (or our input from a
// file of their choosing). Each is refused, whether or not the kernel's own
// protected_* rules are on.
TEST_F(FileCipher, AnotherUsersThingsInASharedFolderAreNeverUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
  const fs::path shared = dir_.Path() / "shared";
  const fs::path theirs = dir_.Path() / "theirs";
  fs::create_directory(shared);
  fs::create_directory(theirs);
  ::chmod(shared.c_str(), 01777);
  ::chmod(theirs.c_str(), 0777);
  const auto giveAway = [](const fs::path& path) {
    return ::lchown(path.c_str(), 65534, 65534) == 0;
  };
  ASSERT_TRUE(giveAway(theirs));
  WriteFile(Path("plain"), Pattern(100));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  const std::string box = Path("box");
  WriteFile((shared / "out").string(), "");
  ::chmod((shared / "out").c_str(), 0666);
  ASSERT_EQ(0, ::mkfifo((shared / "fifo").c_str(), 0666));
  ASSERT_EQ(0, ::symlink(theirs.c_str(), (shared / "folder").c_str()));
  ASSERT_EQ(0, ::symlink(box.c_str(), (shared / "input").c_str()));
  for (const char* name : {"out", "fifo", "folder", "input"}) ASSERT_TRUE(giveAway(shared / name));
  // They read at the other end of their FIFO.
  const int reader = ::open((shared / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  struct Row {
    const char* what;
    std::function<bool()> call;
  };
  int size = 0;
  const Row rows[] = {
      {"their file as the output",
       [&] { return Crypto::FileDecrypt(box.c_str(), (shared / "out").c_str(), false); }},
      {"their FIFO as the output",
       [&] { return Crypto::FileDecrypt(box.c_str(), (shared / "fifo").c_str(), false); }},
      {"their link to their folder above the output",
       [&] { return Crypto::FileDecrypt(box.c_str(), (shared / "folder/out").c_str(), false); }},
      {"their link as the input",
       [&] { return Crypto::FilePlainSize((shared / "input").c_str(), size, false); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_FALSE(row.call());
    EXPECT_EQ(EACCES, errno);
  }
  char got = 0;
  EXPECT_GE(0, ::read(reader, &got, 1));  // nothing was written
  ::close(reader);
  EXPECT_EQ("", ReadFile((shared / "out").string()));
  EXPECT_FALSE(fs::exists(theirs / "out"));
}

namespace {
void* EncryptInto(void* paths) {
  const auto* p = static_cast<const std::string*>(paths);
  Crypto::FileEncrypt(p[0].c_str(), p[1].c_str(), false);
  return nullptr;
}
}  // namespace

// A thread cancelled while FileEncrypt's output (a FIFO whose reader stopped
// reading) blocks unwinds and ends: nothing writes the rest as it unwinds.
TEST_F(FileCipher, CancelledWhileTheOutputBlocksTheThreadEnds) {
  WriteFile(Path("plain"), Pattern(1 << 20));
  ASSERT_EQ(0, ::mkfifo(Path("fifo").c_str(), 0600));
  EXPECT_EQ(0, zqtest::RunInChild([&] {
              ::alarm(10);
              const int reader = ::open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
              std::string paths[2] = {Path("plain"), Path("fifo")};
              pthread_t thread;
              if (reader < 0 || ::pthread_create(&thread, nullptr, EncryptInto, paths) != 0) {
                return false;
              }
              ::usleep(200000);  // the pipe is full and the write waits by now
              void* result = nullptr;
              return ::pthread_cancel(thread) == 0 && ::pthread_join(thread, &result) == 0 &&
                     result == PTHREAD_CANCELED;
            }));
}
