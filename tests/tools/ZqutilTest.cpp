// End-to-end tests of the zqutil binary: exit codes, messages, and that what
// it writes is what the library reads and the reverse.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"
#include "utils/guid/GUID.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace fs = std::filesystem;
using zqtest::ReadFile;
using zqtest::WriteFile;

namespace {

struct Result {
  int code;
  std::string out;
  std::string err;
};

class Zqutil : public ::testing::Test {
 protected:
  // Runs `zqutil <arguments>` through the shell (so arguments may hold
  // redirections and pipes, with $ZQ standing for the binary).
  Result Run(const std::string& arguments) {
    const std::string command = "ZQ='" + std::string(ZQUTIL_PATH) + "'; cd '" +
                                dir_.Path().string() + "' && ( \"$ZQ\" " + arguments + " ) >'" +
                                Path("stdout") + "' 2>'" + Path("stderr") + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(Path("stdout")),
            ReadFile(Path("stderr"))};
  }
  std::string Path(const std::string& name) const { return dir_.File(name); }

  zqtest::TempDir dir_;
};

}  // namespace

TEST_F(Zqutil, VersionAndUsage) {
  const Result version = Run("--version");
  EXPECT_EQ(0, version.code);
  EXPECT_NE(std::string::npos, version.out.find("zqutil 0."));
  EXPECT_EQ(2, Run("").code);
  EXPECT_EQ(2, Run("crypt").code);
  EXPECT_EQ(2, Run("crypt encrypt onlyone").code);
  EXPECT_EQ(2, Run("guid new -n 0").code);
  EXPECT_EQ(2, Run("no-such-command").code);
  const Result help = Run("crypt --help");
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("chunks"));
}

TEST_F(Zqutil, GuidNewAndParse) {
  const Result fresh = Run("guid new -n 5");
  ASSERT_EQ(0, fresh.code);
  std::istringstream lines(fresh.out);
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line, ZQ::RVL::Utils::GUID::Create(line).ToString());
    seen.insert(line);
  }
  EXPECT_EQ(5u, seen.size());

  const Result parsed =
      Run("guid parse 6BA7B810-9DAD-11D1-80B4-00C04FD430C8 "
          "'{00000000-0000-0000-0000-000000000000}'");
  EXPECT_EQ(0, parsed.code);
  EXPECT_EQ("6ba7b810-9dad-11d1-80b4-00c04fd430c8\n00000000-0000-0000-0000-000000000000\n",
            parsed.out);

  const Result bad = Run("guid parse 6ba7b810-9dad-11d1-80b4-00c04fd430c8 not-an-id ' x'");
  EXPECT_EQ(1, bad.code);
  EXPECT_EQ("6ba7b810-9dad-11d1-80b4-00c04fd430c8\n", bad.out);
  EXPECT_NE(std::string::npos, bad.err.find("\"not-an-id\""));
  EXPECT_NE(std::string::npos, bad.err.find("\" x\""));
}

TEST_F(Zqutil, ContainersInterchangeWithTheLibrary) {
  const std::string plain = zqtest::Pattern(100000);
  WriteFile(Path("plain"), plain);
  for (bool light : {false, true}) {
    const std::string flag = light ? " --light" : "";
    // Tool writes, library reads.
    ASSERT_EQ(0, Run("crypt encrypt" + flag + " plain box").code);
    ASSERT_TRUE(Crypto::FileDecrypt(Path("box").c_str(), Path("lib.out").c_str(), light));
    EXPECT_EQ(plain, ReadFile(Path("lib.out")));
    // Library writes, tool reads, whole and chunked.
    ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("lib.box").c_str(), light));
    ASSERT_EQ(0, Run("crypt decrypt" + flag + " lib.box tool.out").code);
    EXPECT_EQ(plain, ReadFile(Path("tool.out")));
    ASSERT_EQ(0, Run("crypt chunks" + flag + " --chunk 4096 lib.box chunks.out").code);
    EXPECT_EQ(plain, ReadFile(Path("chunks.out")));
  }
}

TEST_F(Zqutil, StdinAndStdout) {
  const std::string plain = zqtest::Pattern(70000);
  WriteFile(Path("plain"), plain);
  for (const std::string flag : {"", " --light"}) {
    const Result piped =
        Run("crypt encrypt" + flag + " - - <plain | \"$ZQ\" crypt decrypt" + flag + " - -");
    EXPECT_EQ(0, piped.code) << piped.err;
    EXPECT_EQ(plain, piped.out);
  }
}

TEST_F(Zqutil, Info) {
  WriteFile(Path("plain"), zqtest::Pattern(1000));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("full").c_str(), false));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("light").c_str(), true));
  const Result full = Run("crypt info full");
  EXPECT_EQ(0, full.code);
  EXPECT_NE(std::string::npos, full.out.find("plain size:   1000 bytes"));
  EXPECT_NE(std::string::npos, full.out.find("1028 bytes expected (full form), 1028 actual"));
  EXPECT_NE(std::string::npos, full.out.find("reads as:     the full form"));
  const Result light = Run("crypt info --light light");
  EXPECT_EQ(0, light.code);
  EXPECT_NE(std::string::npos, light.out.find("reads as:     the light form"));
  EXPECT_EQ(1, Run("crypt info --light full").code);
  EXPECT_EQ(1, Run("crypt info plain").code);
}

// Every failure names what failed, exits 1, and leaves no output file behind.
TEST_F(Zqutil, FailuresAreExplainedAndLeaveNoOutput) {
  const std::string plain = zqtest::Pattern(5000);
  WriteFile(Path("plain"), plain);
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("full").c_str(), false));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("light").c_str(), true));
  std::string cut = ReadFile(Path("full"));
  cut.resize(cut.size() - 5);
  WriteFile(Path("cut"), cut);

  const struct {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"crypt decrypt missing out", "No such file or directory"},
      {"crypt decrypt plain out", "not a container"},
      {"crypt decrypt light out", "use --light"},
      {"crypt decrypt --light full out", "drop --light"},
      {"crypt chunks --light full out", "drop --light"},
      {"crypt decrypt cut out", "damaged"},
      {"crypt chunks cut out", "damaged"},
      {"crypt encrypt plain no/such/folder/out", "cannot write"},
  };
  for (const auto& c : cases) {
    const Result result = Run(c.arguments);
    EXPECT_EQ(1, result.code) << c.arguments;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << c.arguments << ": " << result.err;
    EXPECT_FALSE(fs::exists(Path("out"))) << c.arguments;
  }
  // Only the named files are in the folder: no temporary file was left.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ((std::set<std::string>{"cut", "full", "light", "plain", "stderr", "stdout"}), names);
}

// A full disk is reported, whether the output is stdout or a device named as
// OUT (which is written in place: it cannot be replaced by a rename).
TEST_F(Zqutil, FullDiskIsAnError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  WriteFile(Path("plain"), zqtest::Pattern(100000));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  EXPECT_EQ(1, Run("crypt encrypt plain - >/dev/full").code);
  EXPECT_EQ(1, Run("crypt decrypt box /dev/full").code);
  EXPECT_EQ(1, Run("crypt chunks box /dev/full").code);
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  const Result toNull = Run("crypt decrypt box /dev/null");
  EXPECT_EQ(0, toNull.code) << toNull.err;
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}
