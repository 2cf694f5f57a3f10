#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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
