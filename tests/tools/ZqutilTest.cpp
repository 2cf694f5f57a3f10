// End-to-end tests of the zqutil binary: exit codes, messages, and that what
// it writes is what the library reads and the reverse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/config/Config.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/KeyPair.h"
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
  // Runs `<prefix>zqutil <arguments>` through the shell (so arguments may hold
  // redirections and pipes, with $ZQ standing for the binary).
  Result Run(const std::string& arguments, const std::string& prefix = "") {
    const std::string command = "ZQ='" + std::string(ZQUTIL_PATH) + "'; cd '" +
                                dir_.Path().string() + "' && ( " + prefix + "\"$ZQ\" " + arguments +
                                " ) >'" + Path("stdout") + "' 2>'" + Path("stderr") + "'";
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
  // SHA-256 of the default pair's 32 bytes, from Python's hashlib.
  const std::string pair = Crypto::KeyPairIsDefault()
                               ? "key pair: default, fingerprint 0456a0da"
                               : "key pair: custom, fingerprint " + Crypto::KeyPairFingerprint();
  EXPECT_NE(std::string::npos, version.out.find(pair)) << version.out;
  // Usage lines name the program, not the path it was started from.
  EXPECT_NE(std::string::npos, Run("prefs write --help").out.find("Usage: zqutil prefs write"));
  EXPECT_EQ(2, Run("").code);
  EXPECT_EQ(2, Run("crypt").code);
  EXPECT_EQ(2, Run("crypt encrypt onlyone").code);
  EXPECT_EQ(2, Run("guid new -n 0").code);
  // A word that names no command, at any level, is said to be one.
  const struct {
    const char* line;
    const char* word;
  } unknown[] = {{"no-such-command", "no-such-command"},
                 {"prefs bogus", "bogus"},
                 {"crypt bogus x y", "bogus"},
                 // What a message repeats reaches the terminal escaped.
                 {"\"$(printf 'x\\033]0;t\\007y')\"", "x\\u001b]0;t\\u0007y"}};
  for (const auto& row : unknown) {
    const Result result = Run(row.line);
    EXPECT_EQ(2, result.code) << row.line;
    EXPECT_EQ(0u, result.err.find("zqutil: unknown command '" + std::string(row.word) + "'"))
        << row.line << ": " << result.err;
  }
  EXPECT_EQ(0u, Run("guid new -n 0").err.find("zqutil: ")) << "every usage error is the tool's";
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

  // A text a line from stdin (CRLF too, the last line without its feed), each
  // with its version and variant on asking; a line that never ends costs no
  // more than an identifier's length.
  const Result piped = Run("guid parse --details",
                           "printf '6BA7B810-9DAD-11D1-80B4-00C04FD430C8\\r\\n"
                           "{6ba7b810-9dad-41d1-c0b4-00c04fd430c8}\\r\\n' | ");
  EXPECT_EQ(0, piped.code) << piped.err;
  EXPECT_EQ(
      "6ba7b810-9dad-11d1-80b4-00c04fd430c8 version 1 (time-based), variant RFC 4122\n"
      "6ba7b810-9dad-41d1-c0b4-00c04fd430c8 variant Microsoft (reserved)\n",
      piped.out);
  const Result endless = Run("guid parse -", "head -c 50000000 /dev/zero | ");
  EXPECT_EQ(1, endless.code);
  EXPECT_NE(std::string::npos, endless.err.find("a line of more than 38 bytes")) << endless.err;
  // A NUL does not end a line early; what a message repeats is escaped.
  const Result nul =
      Run("guid parse", "printf '6ba7b810-9dad-11d1-80b4-00c04fd430c8\\0x\\n\\033]0;t\\a\\n' | ");
  EXPECT_EQ(1, nul.code);
  EXPECT_EQ("", nul.out);
  EXPECT_NE(std::string::npos, nul.err.find("c8\\u0000x\"")) << nul.err;
  EXPECT_NE(std::string::npos, nul.err.find("\"\\u001b]0;t\\u0007\"")) << nul.err;
  // Numbers are decimal, as --int reads them.
  const std::string ten = Run("guid new -n 010").out;
  EXPECT_EQ(10, std::count(ten.begin(), ten.end(), '\n'));
  EXPECT_EQ(2, Run("guid new -n 0x10").code);
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

// Inputs that are not regular files (a pipe named by path, a FIFO, stdin) are
// spooled, so the container holds exactly their bytes.
TEST_F(Zqutil, StreamInputsAreEncryptedWhole) {
  const std::string plain = zqtest::Pattern(100000);
  WriteFile(Path("plain"), plain);
  ASSERT_EQ(0, ::mkfifo(Path("fifo").c_str(), 0600));
  for (const char* encrypt : {"cat plain | \"$ZQ\" crypt encrypt /dev/stdin box",
                              "(sleep 1; cat plain >fifo) & \"$ZQ\" crypt encrypt fifo box",
                              "\"$ZQ\" crypt encrypt - box <plain"}) {
    ASSERT_EQ(0, Run("--version; " + std::string(encrypt)).code) << encrypt;
    ASSERT_TRUE(Crypto::FileDecrypt(Path("box").c_str(), Path("out").c_str(), false)) << encrypt;
    EXPECT_EQ(plain, ReadFile(Path("out"))) << encrypt;
  }
  // An empty stream is an empty container (28 bytes), not a failed copy.
  ASSERT_EQ(0, Run("crypt encrypt - empty.box </dev/null").code);
  EXPECT_EQ(28u, fs::file_size(Path("empty.box")));
}

// The spooled copy of stdin never has a name: a SIGKILL during the copy
// leaves nothing in $TMPDIR.
TEST_F(Zqutil, SpoolHasNoName) {
  fs::create_directory(Path("spool"));
  Run("--version; (printf abc; sleep 3) | (TMPDIR=spool \"$ZQ\" crypt encrypt - box <&3 & "
      "sleep 1; kill -9 $!) 3<&0");
  EXPECT_TRUE(fs::is_empty(Path("spool")));
}

// The progress bar is for terminals only: a large input through a pipe
// prints nothing on stderr.
TEST_F(Zqutil, NoProgressBarWhenPiped) {
  WriteFile(Path("large"), zqtest::Pattern(9u << 20));
  const Result result = Run("crypt encrypt --light large large.box");
  EXPECT_EQ(0, result.code);
  EXPECT_EQ("", result.err);
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
  // A name is shown escaped where it needs it.
  WriteFile(Path("o\x1bname"), ReadFile(Path("full")));
  EXPECT_NE(std::string::npos, Run("crypt info \"$(printf 'o\\033name')\"")
                                   .out.find("file:         \"o\\u001bname\" (1028 bytes)"));
  // A FIFO is refused at once, never waited on for a writer.
  const Result fifo = Run("crypt info fifo", "mkfifo fifo && timeout 20 ");
  EXPECT_EQ(1, fifo.code) << fifo.err;
  EXPECT_NE(std::string::npos, fifo.err.find("fifo")) << fifo.err;
  // Its help offers a file, not "-": stdin has no size to compare with.
  EXPECT_EQ(std::string::npos, Run("crypt info --help").out.find("- for stdin"));
  const Result piped = Run("crypt info - < full");
  EXPECT_EQ(2, piped.code);
  EXPECT_NE(std::string::npos, piped.err.find("not stdin")) << piped.err;
}

// One reading of a container: decrypt, chunks and info give one verdict on a
// file that does not end where its container ends, and so do decrypt and
// chunks on a stream; nothing is delivered.
TEST_F(Zqutil, EveryCommandReadsAContainerAlike) {
  WriteFile(Path("plain"), zqtest::Pattern(1000));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("full").c_str(), false));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("light").c_str(), true));
  const std::string full = ReadFile(Path("full"));
  const std::string light = ReadFile(Path("light"));
  const struct {
    const char* name;
    std::string bytes;
    const char* form;  // "" or "--light"
    const char* reason;
  } rows[] = {
      {"two", full + full, "", "1028 bytes follow the container"},
      {"light-and-5", light + "abcde", "--light", "5 bytes follow the container"},
      {"light-and-16", light + std::string(16, '\0'), "--light", "as long as a full-form"},
      {"full-as-light", full, "--light", "as long as a full-form"},
      {"cut", full.substr(0, 500), "", "500 bytes, its header says 1028"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(Path(row.name), row.bytes);
    for (const std::string command : {"decrypt", "chunks", "info"}) {
      const std::string out = command == "info" ? "" : " out";
      const Result result = Run("crypt " + command + " " + row.form + " " + row.name + out);
      EXPECT_EQ(1, result.code) << command;
      EXPECT_NE(std::string::npos, result.err.find(row.reason)) << command << ": " << result.err;
      EXPECT_FALSE(fs::exists(Path("out"))) << command;
    }
    for (const std::string command : {"decrypt", "chunks"}) {
      const Result piped = Run("crypt " + command + " " + row.form + " - out",
                               "cat " + std::string(row.name) + " | ");
      EXPECT_EQ(1, piped.code) << command << " from a pipe";
      EXPECT_FALSE(fs::exists(Path("out"))) << command << " from a pipe";
      if (std::string(row.name) == "two" || std::string(row.name) == "light-and-5") {
        EXPECT_NE(std::string::npos, piped.err.find(row.reason)) << command << ": " << piped.err;
      }
    }
  }
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
  // Cut in ways the library's readers accept: the tool refuses a file whose
  // length disagrees with its header before reading it, and compares what a
  // stream delivers with the header's size. A light payload cut short; a light size
  // field forged larger; a full-form ciphertext cut at a block boundary whose
  // new last block ends in valid padding (its plain byte 0x01).
  WriteFile(Path("light-cut"), ReadFile(Path("light")).substr(0, 600));
  std::string forged = ReadFile(Path("light"));
  forged.replace(8, 4, zqtest::SizeBytes(6000));
  WriteFile(Path("light-forged"), forged);
  std::string padded = plain;
  padded[799] = '\x01';
  WriteFile(Path("padded"), padded);
  ASSERT_TRUE(Crypto::FileEncrypt(Path("padded").c_str(), Path("padded-box").c_str(), false));
  WriteFile(Path("full-cut"), ReadFile(Path("padded-box")).substr(0, 20 + 800));

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
      {"crypt info --light full", "drop --light"},
      {"crypt decrypt --light light-cut out", "600 bytes, its header says 5012"},
      {"crypt chunks --light light-cut out", "600 bytes, its header says 5012"},
      {"crypt decrypt --light - out <light-cut", "its header says 5000"},
      {"crypt decrypt --light light-forged out", "its header says 6012"},
      {"crypt decrypt full-cut out", "820 bytes, its header says 5028"},
      {"crypt chunks full-cut out", "820 bytes, its header says 5028"},
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
  EXPECT_EQ((std::set<std::string>{"cut", "full", "full-cut", "light", "light-cut", "light-forged",
                                   "padded", "padded-box", "plain", "stderr", "stdout"}),
            names);
}

// A chunk is no longer than the container can fill: a huge --chunk costs no
// more memory than the container, from a file or a pipe, and gives the same
// bytes.
TEST_F(Zqutil, HugeChunksCostWhatTheContainerHolds) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string limit;  // a sanitizer reserves far more address space
#else
  const std::string limit = "ulimit -v 300000; ";
#endif
  WriteFile(Path("plain"), zqtest::Pattern(100000));
  ASSERT_TRUE(Crypto::FileEncrypt(Path("plain").c_str(), Path("box").c_str(), false));
  for (const char* from : {"box", "- <box"}) {
    const Result result =
        Run(std::string("crypt chunks --chunk 2147483640 ") + from + " out", limit);
    EXPECT_EQ(0, result.code) << from << ": " << result.err;
    EXPECT_EQ(ReadFile(Path("plain")), ReadFile(Path("out"))) << from;
  }
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

// Settings through the tool, against a store root of the test's own.
class ZqutilPrefs : public Zqutil {
 protected:
  Result Prefs(const std::string& arguments) {
    return Run("prefs " + arguments + " --company 'Acme Co' --app Tool --mode 1");
  }
  void SetUp() override {
    ::setenv("ZQ_PREFERENCES_ROOT", dir_.Path().c_str(), 1);
    ::setenv("ZQ_HOST_ID", "testhost", 1);
  }
};

TEST_F(ZqutilPrefs, WriteReadListDelete) {
  ASSERT_EQ(0, Prefs("write Server --string example.org").code);
  ASSERT_EQ(0, Prefs("write Port --int -8080").code);
  ASSERT_EQ(0, Prefs("write Blob --data-hex 'DE:ad be ef'").code);
  WriteFile(Path("bytes"), std::string("\x00\x01\xff", 3));
  ASSERT_EQ(0, Prefs("write File --data-file bytes").code);

  // The library sees what the tool wrote.
  const ZQ::RVL::Utils::Config config(1, "Tool", "Acme Co");
  std::string text;
  ASSERT_TRUE(config.GetString("Server", text));
  EXPECT_EQ("example.org", text);
  std::int32_t port = 0;
  ASSERT_TRUE(config.GetValue("Port", port));
  EXPECT_EQ(-8080, port);

  EXPECT_EQ("text \"-8080\"\n", Prefs("read Port").out);
  EXPECT_EQ("bytes deadbeef\n", Prefs("read Blob").out);
  EXPECT_EQ("bytes 0001ff\n", Prefs("read File").out);
  EXPECT_EQ("Blob\nFile\nPort\nServer\n", Prefs("list").out);
  EXPECT_EQ(
      "Blob = bytes deadbeef\nFile = bytes 0001ff\nPort = text \"-8080\"\n"
      "Server = text \"example.org\"\n",
      Prefs("list --values").out);
  ASSERT_EQ(0, Prefs("delete Port").code);
  EXPECT_EQ("Blob\nFile\nServer\n", Prefs("list").out);
  const Result gone = Prefs("read Port");
  EXPECT_EQ(1, gone.code);
  EXPECT_NE(std::string::npos, gone.err.find("no value under \"Port\""));

  const Result where = Prefs("where");
  EXPECT_NE(std::string::npos, where.out.find("com.acmeco.Tool"));
  EXPECT_NE(std::string::npos, where.out.find(dir_.File("user/com.acmeco.Tool.plist")));
}

// A writer of an older version sets no unfinished mark on the lock file,
// and a power cut may lose one: each process's first write looks anyway.
TEST_F(ZqutilPrefs, FirstWriteOfAProcessRemovesUnmarkedStrays) {
  ASSERT_EQ(0, Prefs("write A --string 1").code);
  const std::string stray = dir_.File("user/com.acmeco.Tool.plist.tmp-Ab12Z9");
  WriteFile(stray, "partial");
  ASSERT_EQ(0, Prefs("write B --string 2").code);
  EXPECT_FALSE(fs::exists(stray));
}

TEST_F(ZqutilPrefs, RefusesWhatCannotBeStored) {
  EXPECT_EQ(2, Prefs("write K").code) << "no value";
  EXPECT_EQ(2, Prefs("write K --string a --int 1").code) << "two values";
  EXPECT_EQ(2, Prefs("write K --data-hex abc").code) << "odd hex";
  EXPECT_EQ(2, Prefs("write K --int 4294967296").code) << "beyond 32 bits";
  EXPECT_EQ(2, Prefs("write K --string " + std::string(512, 'x')).code) << "unreadable length";
  EXPECT_EQ(2, Prefs("write K --string \"$(printf 'caf\\303\\251')\"").code) << "not ASCII";
  // --mode is 0 or 1 as written; the tool's default is 1, the user's own.
  for (const char* mode : {"7", "2", "-1", "0x1", "01", "' 1'", "''", "+1"}) {
    const Result refused =
        Run(std::string("prefs write K --string v --company C --app A --mode ") + mode);
    EXPECT_EQ(2, refused.code) << mode;
    EXPECT_NE(std::string::npos, refused.err.find("takes 0 (all users")) << mode << refused.err;
  }
  ASSERT_EQ(0, Run("prefs write Default --string v --company C --app A").code);
  EXPECT_EQ("text \"v\"\n", Run("prefs read Default --company C --app A --mode 1").out);
  EXPECT_EQ("Default\n", Run("prefs list --company C --app A").out);
  const Result badDomain = Run("prefs write K --string v --company C --app a/b --mode 1");
  EXPECT_EQ(1, badDomain.code);
  EXPECT_NE(std::string::npos, badDomain.err.find("cannot be stored"));
}

// Values from a file or stdin, so that a secret never sits in argv: the
// file's bytes, one final line feed dropped for a text.
TEST_F(ZqutilPrefs, ValuesComeFromFilesAndStdin) {
  WriteFile(Path("two-lines"), "a\n\n");
  WriteFile(Path("empty"), "");
  const std::string names = " --company 'Acme Co' --app Tool --mode 1";
  const struct {
    const char* why;
    std::string line;
    int code;
    const char* shown;  // what read prints, or a text of the message
  } rows[] = {
      {"a text from stdin", "printf 's3cret\\n' | $ZQ prefs write K --string-file -", 0,
       "text \"s3cret\"\n"},
      {"a text from a file", "$ZQ prefs write K --string-file two-lines", 0, "text \"a\\n\"\n"},
      {"bytes from stdin", "printf 'ab' | $ZQ prefs write K --data-file -", 0, "bytes 6162\n"},
      {"a text too long to read back",
       "head -c 600 /dev/zero | tr '\\0' a | $ZQ prefs write K "
       "--string-file -",
       2, "512 characters"},
      {"a text beyond what is read", "$ZQ prefs write K --string-file /dev/zero", 1,
       "more than 4096 bytes"},
      {"a CRLF line", "printf 'pw\\r\\n' | $ZQ prefs write K --string-file -", 0, "text \"pw\"\n"},
      {"an empty source never blanks a value", "$ZQ prefs write K --string-file empty", 2,
       "empty holds no text"},
      {"nor does a line end alone", "printf '\\r\\n' | $ZQ prefs write K --string-file -", 2,
       "stdin holds no text"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const int status =
        std::system(("cd '" + dir_.Path().string() + "' && ZQ='" + std::string(ZQUTIL_PATH) +
                     "' && (" + row.line + names + ") >stdout 2>stderr")
                        .c_str());
    ASSERT_EQ(row.code, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ReadFile(Path("stderr"));
    if (row.code == 0) {
      EXPECT_EQ(row.shown, Prefs("read K").out);
    } else {
      EXPECT_NE(std::string::npos, ReadFile(Path("stderr")).find(row.shown));
    }
  }
}

// Output a script can trust: each value with its kind, texts quoted with
// every control escaped (no forged line, no terminal escape), keys that need
// it quoted too, other programs' values shown, and a JSON form that parses
// to the same values.
TEST_F(ZqutilPrefs, ListedValuesCannotForgeLinesAndParseAsJson) {
  const std::string write =
      "import plistlib, datetime; plistlib.dump({'Note': 'x\\nAdmin = yes\\x1b[31m', "
      "'bad\\nkey': 'v', 'Hexish': '<deadbeef>', 'Token': bytes.fromhex('deadbeef'), "
      "'Count': 42, 'Ratio': 2.5, 'When': datetime.datetime(2020, 1, 2, 3, 4, 5), "
      "'List': [1, 'x', b'y', True]}, open('user/com.acmeco.Tool.plist', 'wb'), "
      "fmt=plistlib.FMT_BINARY)";
  fs::create_directories(dir_.Path() / "user");
  ASSERT_EQ(0, std::system(
                   ("cd '" + dir_.Path().string() + "' && python3 -c \"" + write + "\"").c_str()));
  EXPECT_EQ(
      "Count = integer 42\n"
      "Hexish = text \"<deadbeef>\"\n"
      "List = array [1, \"x\", \"79\", true]\n"
      "Note = text \"x\\nAdmin = yes\\u001b[31m\"\n"
      "Ratio = real 2.5\n"
      "Token = bytes deadbeef\n"
      "When = date \"2020-01-02T03:04:05Z\"\n"
      "\"bad\\nkey\" = text \"v\"\n",
      Prefs("list --values").out);
  EXPECT_EQ("text \"x\\nAdmin = yes\\u001b[31m\"\n", Prefs("read Note").out);
  const std::string check =
      "import json, sys; d = json.load(sys.stdin); "
      "assert d['Note'] == {'kind': 'text', 'value': 'x\\nAdmin = yes\\x1b[31m'}, d; "
      "assert d['bad\\nkey']['value'] == 'v' and d['Count']['value'] == 42, d; "
      "assert d['Token'] == {'kind': 'bytes', 'value': 'deadbeef'}, d";
  const std::string line = "cd '" + dir_.Path().string() + "' && '" + std::string(ZQUTIL_PATH) +
                           "' prefs list --values --json --company 'Acme Co' --app Tool | "
                           "python3 -c \"" +
                           check + "\"";
  EXPECT_EQ(0, std::system(line.c_str()));
}

TEST_F(ZqutilPrefs, IntegersAreDecimalText) {
  const struct {
    const char* text;
    int code;
    const char* stored;  // or the message
  } cases[] = {
      {"010", 0, "10"},        {"-2147483648", 0, "-2147483648"},
      {"+7", 0, "7"},          {"''", 2, "\"\""},
      {"0x10", 2, "\"0x10\""}, {"2147483648", 2, "out of range"},
      {"' 5'", 2, "\" 5\""},   {"+-5", 2, "\"+-5\""},
  };
  for (const auto& c : cases) {
    const Result result = Prefs(std::string("write K --int ") + c.text);
    EXPECT_EQ(c.code, result.code) << c.text;
    const std::string shown = c.code == 0 ? Prefs("read K").out : result.err;
    EXPECT_NE(std::string::npos, shown.find(c.stored)) << c.text << ": " << shown;
  }
}

// A missing key and a domain that cannot be read are told apart: each
// command fails with the store's own reason, never exits 0 with nothing.
TEST_F(ZqutilPrefs, UnreadableDomainsAreNotEmpty) {
  ASSERT_EQ(0, Prefs("write K --string v").code);
  const std::string file = dir_.File("user/com.acmeco.Tool.plist");
  const struct {
    const char* domain;
    const char* bytes;  // null: the file as written
    const char* command;
    const char* message;
  } cases[] = {
      {"sound", nullptr, "read Missing", "no value under \"Missing\""},
      {"damaged", "bplist00 broken", "read K", "damaged"},
      {"damaged", "bplist00 broken", "list", "damaged"},
      {"damaged", "bplist00 broken", "list --values", "damaged"},
      {"damaged", "<plist><dict><key>", "read K", "damaged"},
  };
  const std::string sound = ReadFile(file);
  for (const auto& c : cases) {
    WriteFile(file, c.bytes != nullptr ? c.bytes : sound);
    const Result result = Prefs(c.command);
    EXPECT_EQ(1, result.code) << c.domain << " " << c.command;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << c.command << ": " << result.err;
    EXPECT_EQ("", result.out) << c.command;
  }
  // In mode 0 the values live in this machine's file, which `list --values`
  // lists: a damaged one fails the listing even where the all-users file,
  // which `list` shows, is sound.
  fs::create_directories(dir_.Path() / "system" / "ByHost");
  WriteFile(dir_.File("system/com.acmeco.Tool.plist"),
            "<plist version=\"1.0\"><dict><key>K</key><string>v</string></dict></plist>");
  WriteFile(dir_.File("system/ByHost/com.acmeco.Tool.testhost.plist"), "bplist00 broken");
  const Result listed = Run("prefs list --values --company 'Acme Co' --app Tool --mode 0");
  EXPECT_EQ(1, listed.code) << listed.out;
  EXPECT_NE(std::string::npos, listed.err.find("damaged")) << listed.err;
}

// Mode 0 deletes in another dictionary than its values live in: a delete
// that leaves the value readable is a failure that says so.
TEST_F(ZqutilPrefs, DeleteThatLeavesTheValueFails) {
  const std::string names = " --company C --app A --mode 0";
  ASSERT_EQ(0, Run("prefs write K --string v" + names).code);
  const Result deleted = Run("prefs delete K" + names);
  EXPECT_EQ(1, deleted.code);
  EXPECT_NE(std::string::npos, deleted.err.find("still readable")) << deleted.err;
  EXPECT_NE(std::string::npos, deleted.err.find(dir_.File("system/ByHost"))) << deleted.err;
  EXPECT_EQ("text \"v\"\n", Run("prefs read K" + names).out);
  // A value of another program's kind stays as readable.
  ASSERT_EQ(0, Run("prefs import -" + names,
                   "python3 -c \"import plistlib, sys; sys.stdout.buffer.write("
                   "plistlib.dumps({'n': 5, 'caf\\u00e9': 1}))\" | ")
                   .code);
  EXPECT_EQ(1, Run("prefs delete n" + names).code);
  // Every key is listed, also one Config cannot address.
  ASSERT_EQ(0, Run("prefs import - --company C --app A",
                   "python3 -c \"import plistlib, sys; sys.stdout.buffer.write("
                   "plistlib.dumps({'caf\\u00e9': 1, 'plain': 2}))\" | ")
                   .code);
  EXPECT_EQ("\"caf\xc3\xa9\"\nplain\n", Run("prefs list --company C --app A").out);
  const Result unaddressable = Run("prefs delete --company C --app A caf\xc3\xa9");
  EXPECT_EQ(1, unaddressable.code);
  EXPECT_NE(std::string::npos, unaddressable.err.find("ASCII keys only")) << unaddressable.err;
}

TEST_F(ZqutilPrefs, DomainsAndARelativeRoot) {
  ASSERT_EQ(0, Prefs("write K --string v").code);
  ASSERT_EQ(0, Run("prefs write K --string v --company B --app Z --mode 0").code);
  EXPECT_EQ("com.acmeco.Tool\n", Run("prefs domains").out);
  EXPECT_EQ("com.b.Z\n", Run("prefs domains --mode 0").out);
  // A domain is a line of its own, escaped where it needs it.
  ASSERT_EQ(0, Run("prefs write K --string v --company B --app \"$(printf 'a\\nb')\"").code);
  EXPECT_EQ("com.acmeco.Tool\n\"com.b.a\\nb\"\n", Run("prefs domains").out);
  const Result relative =
      Run("prefs write K --string v --company C --app A", "ZQ_PREFERENCES_ROOT=rel ");
  EXPECT_EQ(1, relative.code);
  EXPECT_NE(std::string::npos, relative.err.find("ZQ_PREFERENCES_ROOT must be an absolute path"))
      << relative.err;
}

// All users' settings as a user who may not write them: an error that names
// the file, not a silent success. As root the tool runs as "nobody".
TEST_F(ZqutilPrefs, UnwritableScopeIsAnErrorWithThePath) {
  fs::create_directories(dir_.Path() / "system");
  std::string asUser;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is missing";
    fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    asUser = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
  } else {
    fs::permissions(dir_.Path() / "system", fs::perms::owner_read | fs::perms::owner_exec);
  }
  const std::string command = "prefs write K --string v --company C --app A --mode 0";
  const Result result = Run(command, asUser);
  fs::permissions(dir_.Path() / "system", fs::perms::owner_all);
  EXPECT_EQ(1, result.code);
  EXPECT_NE(std::string::npos, result.err.find(dir_.File("system"))) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("permission denied")) << result.err;
}

// Settings in and out as property lists: a file another program made with
// plistlib comes in whole, goes out unchanged in both formats, and comes back
// in again; a file the store would not keep is refused and changes nothing.
TEST_F(ZqutilPrefs, ExportAndImport) {
  const std::string python =
      "import plistlib, datetime, sys\n"
      "d = {'Server': 'example.org', 'Blob': b'\\xde\\xad', 'when': datetime.datetime(2026, 12, "
      "10, 3, 4, 5), 'list': [1, 2.5, True, -2**63], 'nested': {'a': {}, 'b': 'caf\\xe9'}}\n"
      "if sys.argv[1] == 'make': open('others.plist', 'wb').write(plistlib.dumps(d, "
      "fmt=plistlib.FMT_BINARY))\n"
      "else: sys.exit(0 if all(plistlib.load(open(f, 'rb')) == d for f in sys.argv[1:]) else 1)\n";
  WriteFile(Path("check.py"), python);
  const auto py = [&](const std::string& arguments) {
    return std::system(
        ("cd '" + dir_.Path().string() + "' && python3 check.py " + arguments).c_str());
  };
  ASSERT_EQ(0, py("make"));
  ASSERT_EQ(0, Prefs("write Extra --string gone-after-import").code);
  const Result imported = Prefs("import others.plist");
  ASSERT_EQ(0, imported.code) << imported.err;
  EXPECT_EQ("text \"example.org\"\n", Prefs("read Server").out);
  EXPECT_EQ("bytes dead\n", Prefs("read Blob").out);
  EXPECT_EQ(1, Prefs("read Extra").code) << "import replaces the whole dictionary";

  ASSERT_EQ(0, Prefs("export --format xml out.xml").code);
  ASSERT_EQ(0, Prefs("export --format binary out.plist").code);
  ASSERT_EQ(0, Run("prefs export --company 'Acme Co' --app Tool --mode 1 > stdout.xml").code);
  EXPECT_EQ(0, ReadFile(Path("out.xml")).rfind("<?xml", 0));
  EXPECT_EQ(0, ReadFile(Path("out.plist")).rfind("bplist00", 0));
  EXPECT_EQ(0, py("out.xml out.plist stdout.xml")) << "exported files differ from plistlib's";
  ASSERT_EQ(0, Prefs("write Extra --string again").code);
  ASSERT_EQ(0, Run("prefs import --company 'Acme Co' --app Tool --mode 1 - < out.xml").code);
  EXPECT_EQ(1, Prefs("read Extra").code);
  ASSERT_EQ(0, Prefs("export --format binary again.plist").code);
  EXPECT_EQ(0, py("again.plist"));

  const std::string domainFile = ReadFile(dir_.File("user/com.acmeco.Tool.plist"));
  const std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  const struct {
    std::string file;
    const char* why;
  } refused[] = {
      {xml + "<array><string>a</string></array></plist>",
       "the root is not a dictionary, at byte 42"},
      {"not a plist", "starts with neither \"<?xml\" nor \"<plist\", at byte 0"},
      {"", "starts with neither \"<?xml\" nor \"<plist\", at byte 0"},
      {"bplist00\x01\x02", "malformed binary property list"},
      {xml + "<dict><key>k</key><string>a</string><key>k</key><string>b</string></dict></plist>",
       "a key is named twice in the root dictionary, at key \"k\""},
      {xml + "<dict><key>k</key><integer>0123</integer></dict></plist>",
       "an integer is not in canonical form, at byte 60"},
      {xml + "<dict", "the file ends inside a tag, at byte 42"},
      {xml + "<" + std::string(100, 'a'), "the file ends inside a tag, at byte 42"},
  };
  for (const auto& r : refused) {
    WriteFile(Path("refused"), r.file);
    const Result result = Prefs("import refused");
    EXPECT_EQ(1, result.code) << r.file;
    EXPECT_NE(std::string::npos, result.err.find(r.why)) << r.file << ": " << result.err;
    EXPECT_EQ(domainFile, ReadFile(dir_.File("user/com.acmeco.Tool.plist"))) << r.file;
  }
  EXPECT_EQ(2, Run("prefs export --company C --app A --mode 7").code) << "no value dictionary";
}

// XML holds fewer values than a binary file: an XML export that plistlib
// reads otherwise than the stored file is refused, and points to binary.
TEST_F(ZqutilPrefs, XmlExportIsFaithfulOrRefused) {
  const std::pair<const char*, int> cases[] = {
      {"1e300", 0},   {"'a<b&c]]>d'", 0},  {"datetime.datetime(1000, 1, 1)", 0},
      {"-0.0", 1},    {"'a\\rb'", 1},      {"datetime.datetime(2026, 1, 2, 3, 4, 5, 250000)", 1},
      {"[2**63]", 0}, {"float('inf')", 1}, {"datetime.datetime(999, 1, 1)", 1},
  };
  for (const auto& [value, code] : cases) {
    const std::string py = "cd '" + dir_.Path().string() + "' && python3 -c \"import plistlib, " +
                           "datetime, sys; d = {'k': " + value + "}; exec(sys.argv[1])\" ";
    ASSERT_EQ(0, std::system(
                     (py + "\"open('in', 'wb').write(plistlib.dumps(d, fmt=plistlib.FMT_BINARY))\"")
                         .c_str()));
    ASSERT_EQ(0, Prefs("import in").code) << value;
    const Result exported = Prefs("export out");
    EXPECT_EQ(code, exported.code) << value;
    const std::string check = "\"assert repr(plistlib.load(open('out', 'rb'))) == repr(d)\"";
    EXPECT_EQ(0, code == 0 ? std::system((py + check).c_str()) : 0) << value;
    EXPECT_EQ(code != 0, exported.err.find("--format binary") != std::string::npos);
  }
}

// Binary output is not written to a terminal unless forced (script(1)
// gives the tool a terminal for stdout).
TEST_F(Zqutil, BinaryOutputToATerminalIsRefusedUnlessForced) {
  WriteFile(Path("plain"), "hi");
  const auto onTerminal = [&](const std::string& arguments) {
    const std::string line = "cd '" + dir_.Path().string() + "' && ZQ_PREFERENCES_ROOT=\"$PWD\" " +
                             "ZQ_HOST_ID=t script -qec \"'" + std::string(ZQUTIL_PATH) + "' " +
                             arguments + "\" /dev/null >out 2>&1";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(2, onTerminal("crypt encrypt plain -"));
  EXPECT_NE(std::string::npos, ReadFile(Path("out")).find("stdout is a terminal"));
  EXPECT_EQ(2, onTerminal("crypt encrypt plain /dev/stdout"));
  EXPECT_EQ(0, onTerminal("crypt encrypt --force plain -"));
  EXPECT_EQ(2, onTerminal("prefs export --company C --app A --format binary"));
  EXPECT_EQ(0, onTerminal("prefs export --company C --app A"));  // XML is text
}

// Completion and the manual's SYNOPSIS are the tool's own option table (the
// installed files are checked against it, so they cannot drift); completion
// works under `set -u`, keeps a file name with a space one word, and
// completes values by their kind.
TEST_F(Zqutil, CompletionFollowsTheOptionTable) {
  const Result made = Run("completion bash");
  ASSERT_EQ(0, made.code) << made.err;
  EXPECT_EQ(ReadFile(ZQ_COMPLETION_PATH), made.out)
      << "tools/zqutil/zqutil.bash-completion is not what `zqutil completion bash` prints";
  const std::string page = ReadFile(ZQ_MAN_PAGE_PATH);
  const std::size_t synopsis = page.find(".SH SYNOPSIS\n");
  ASSERT_NE(std::string::npos, synopsis);
  EXPECT_EQ(Run("completion synopsis").out,
            page.substr(synopsis, page.find(".SH DESCRIPTION") - synopsis))
      << "zqutil.1.in's SYNOPSIS is not what `zqutil completion synopsis` prints";
  WriteFile(Path("my file"), "x");
  fs::create_directory(Path("folder"));
  for (const char* name : {"[ab]", "a", "x*", "xab"}) WriteFile(Path(name), "x");
  WriteFile(Path("completion.bash"), made.out);
  WriteFile(Path("complete.sh"),
            "set -u\n"
            "source ./completion.bash\n"
            "t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _zqutil;"
            " printf '%s|' \"${COMPREPLY[@]}\"; echo; }\n"
            "t zqutil crypt encrypt my\n"
            "t zqutil prefs export --format ''\n"
            "t zqutil prefs write --mode ''\n"
            "t zqutil demo --root fo\n"
            "t zqutil prefs write --company ''\n"
            "t zqutil pr\n"
            "t zqutil prefs list --j\n"
            "t zqutil crypt info '['\n"
            "t zqutil crypt info 'x*'\n");
  ASSERT_EQ(
      0, std::system(("cd '" + dir_.Path().string() + "' && bash complete.sh >out 2>err").c_str()))
      << ReadFile(Path("err"));
  EXPECT_EQ("my file|\nxml|binary|\n0|1|\nfolder|\n|\nprefs|\n--json|\n[ab]|\nx*|\n",
            ReadFile(Path("out")));
  EXPECT_EQ("", ReadFile(Path("err")));
}

TEST_F(Zqutil, DemoSucceeds) {
  const Result demo = Run("demo --root demo-root");
  EXPECT_EQ(0, demo.code) << demo.out << demo.err;
  EXPECT_NE(std::string::npos, demo.out.find("every comparison held"));
  EXPECT_EQ(std::string::npos, demo.out.find("FAIL"));
  EXPECT_TRUE(fs::exists(Path("demo-root/user/com.zqdemoworks.ZqutilDemo.plist")));
  // A second run would replace the first's files: a folder that is not
  // empty is refused, and keeps what it holds.
  const std::string before = ReadFile(Path("demo-root/report.zqc"));
  const Result again = Run("demo --root demo-root");
  EXPECT_EQ(2, again.code);
  EXPECT_NE(std::string::npos, again.err.find("is not empty")) << again.err;
  EXPECT_EQ(before, ReadFile(Path("demo-root/report.zqc")));
  fs::create_directory(Path("empty-root"));
  EXPECT_EQ(0, Run("demo --root empty-root").code);
  const Result unnamed = Run("demo --root ''");
  EXPECT_EQ(2, unnamed.code);
  EXPECT_NE(std::string::npos, unnamed.err.find("--root needs a folder")) << unnamed.err;
}
