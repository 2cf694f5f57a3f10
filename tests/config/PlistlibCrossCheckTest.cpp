// Cross-checks the store's files against Python's plistlib, a property-list
// implementation written by nobody here: files plistlib writes (XML and
// binary) are read, our files are read back by plistlib with the same keys and
// values, and the this-machine file name carries the host id that Python's
// hashlib derives from the machine id.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

constexpr const char* kScript = R"PY(
import hashlib, plistlib, socket, sys

def dump(path):
    with open(path, 'rb') as f:
        raw = f.read()
    print('binary' if raw.startswith(b'bplist00') else 'xml')
    for key, value in sorted(plistlib.loads(raw).items()):
        if isinstance(value, str):
            kind, text = 'text', value.encode('utf-8').hex()
        elif isinstance(value, bytes):
            kind, text = 'bytes', value.hex()
        else:
            kind, text = type(value).__name__, repr(value)
        print(key.encode('utf-8').hex(), kind, text)

def write(path, fmt):
    value = {
        'name': 'text value', 'number': ' 42', 'blob': bytes(range(256)), 'empty': b'',
        'count': 5, 'flag': True, 'list': [1, 'two'], 'cl\u00e9': 'v', 'uni': '\u00e9t\u00e9',
        'range': list(range(40)), 'nested': 'leaf',
    }
    for _ in range(63):  # with the root dictionary: 64 levels, the most accepted
        value['nested'] = [value['nested']]
    with open(path, 'wb') as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_XML if fmt == 'xml' else plistlib.FMT_BINARY)

def write_nul(path):
    with open(path, 'wb') as f:
        plistlib.dump({'text': 'ab\x00cd', 'wide': '\u00e9\x00x'}, f, fmt=plistlib.FMT_BINARY)

def host_id(salt):
    identity = ''
    for path in ('/etc/machine-id', '/var/lib/dbus/machine-id'):
        try:
            with open(path, 'rb') as f:
                identity = f.readline().decode('latin-1').strip(' \t\r\n')
        except OSError:
            pass
        if identity:
            break
    if not identity:
        identity = socket.gethostname()
    print(hashlib.sha256(salt.encode() + identity.encode('latin-1')).hexdigest()[:32])

command = sys.argv[1]
if command == 'dump':
    dump(sys.argv[2])
elif command == 'write':
    write(sys.argv[2], sys.argv[3])
elif command == 'write-nul':
    write_nul(sys.argv[2])
elif command == 'hostid':
    host_id(sys.argv[2])
)PY";

struct PipeCloser {
  void operator()(FILE* f) const noexcept { ::pclose(f); }
};

class PlistlibCrossCheck : public zqtest::PreferencesTest {
 protected:
  void SetUp() override { zqtest::WriteFile(dir_.File("check.py"), kScript); }

  // Runs the script with `arguments` (no quoting needed: paths come from a
  // temporary folder) and returns its output lines.
  std::vector<std::string> Python(const std::string& arguments) {
    const std::string command = "python3 " + dir_.File("check.py") + " " + arguments;
    std::unique_ptr<FILE, PipeCloser> out(::popen(command.c_str(), "r"));
    std::vector<std::string> lines;
    if (!out) {
      ADD_FAILURE() << "cannot run " << command;
      return lines;
    }
    std::string line;
    for (int c; (c = std::fgetc(out.get())) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
        continue;
      }
      lines.push_back(line);
      line.clear();
    }
    EXPECT_EQ(0, ::pclose(out.release())) << command;
    return lines;
  }
};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

}  // namespace

TEST_F(PlistlibCrossCheck, ReadsXmlAndBinaryFilesWrittenByPlistlib) {
  const Config config(1, "App", "Acme");
  for (const char* format : {"xml", "binary"}) {
    SCOPED_TRACE(format);
    fs::create_directories(dir_.Path() / "user");
    Python("write '" + UserFile("com.acme.App") + "' " + format);

    std::string text;
    EXPECT_TRUE(config.GetString("name", text));
    EXPECT_EQ("text value", text);
    std::int32_t number = 0;
    EXPECT_TRUE(config.GetValue("number", number));
    EXPECT_EQ(42, number);

    unsigned char* data = nullptr;
    std::uint32_t length = 0;
    ASSERT_TRUE(config.GetData("blob", data, length));
    const std::unique_ptr<unsigned char[]> owned(data);
    EXPECT_EQ(AllBytes(), std::string(reinterpret_cast<char*>(data), length));

    unsigned char* none = nullptr;
    EXPECT_FALSE(config.GetData("empty", none, length));  // never an empty array
    EXPECT_FALSE(config.GetString("count", text));        // a number object, not text
    EXPECT_FALSE(config.GetString("uni", text));          // not ASCII
    // The non-ASCII key is left out; the rest come in byte order.
    EXPECT_EQ((std::vector<std::string>{"blob", "count", "empty", "flag", "list", "name", "nested",
                                        "number", "range", "uni"}),
              config.GetKeys());
  }
}

TEST_F(PlistlibCrossCheck, KeepsValuesOfOtherKindsWhenWritingAForeignFile) {
  fs::create_directories(dir_.Path() / "user");
  Python("write '" + UserFile("com.acme.App") + "' xml");
  std::vector<std::string> before = Python("dump '" + UserFile("com.acme.App") + "'");
  ASSERT_FALSE(before.empty());

  Config(1, "App", "Acme").SetString("added", "yes");
  std::vector<std::string> after = Python("dump '" + UserFile("com.acme.App") + "'");
  ASSERT_FALSE(after.empty());
  EXPECT_EQ("binary", after.front());  // rewritten in the binary format
  before.front() = "binary";
  before.insert(before.begin() + 1, Hex("added") + " text " + Hex("yes"));
  EXPECT_EQ(before, after);
}

// Texts with a NUL inside, as another program may write them: an ASCII one is
// read up to its NUL (libplist itself keeps no more of it); a UTF-16 one, which
// libplist keeps whole, is not ASCII, so it is not read, and since libplist
// could only write it back cut short, a write to the file stores nothing.
// (libplist's plist_get_string_val() aborts the process on such a value.)
TEST_F(PlistlibCrossCheck, ForeignTextsWithANulAreReadSafelyAndNeverCutOnDisk) {
  fs::create_directories(dir_.Path() / "user");
  const std::string file = UserFile("com.acme.App");
  Python("write-nul '" + file + "'");
  const std::string before = zqtest::ReadFile(file);

  const Config config(1, "App", "Acme");
  std::string text;
  EXPECT_TRUE(config.GetString("text", text));
  EXPECT_EQ("ab", text);
  EXPECT_FALSE(config.GetString("wide", text));
  EXPECT_EQ((std::vector<std::string>{"text", "wide"}), config.GetKeys());

  config.SetString("added", "x");
  EXPECT_FALSE(config.GetString("added", text));
  EXPECT_EQ(before, zqtest::ReadFile(file));
}

TEST_F(PlistlibCrossCheck, PlistlibReadsOurFilesWithTheSameKeysAndValues) {
  const Config config(1, "App", "Acme");
  std::string printable;
  for (char c = ' '; c <= '~'; ++c) printable += c;
  config.SetString("printable", printable);
  config.SetString("key with spaces", "");
  config.SetString("long", std::string(600, 'z'));
  config.SetValue("min", INT32_MIN);
  config.SetData("bytes", reinterpret_cast<const unsigned char*>(AllBytes().data()), 256);

  const std::vector<std::string> expected = {
      "binary",
      Hex("bytes") + " bytes " + Hex(AllBytes()),
      Hex("key with spaces") + " text ",
      Hex("long") + " text " + Hex(std::string(600, 'z')),
      Hex("min") + " text " + Hex("-2147483648"),
      Hex("printable") + " text " + Hex(printable),
  };
  EXPECT_EQ(expected, Python("dump '" + UserFile("com.acme.App") + "'"));
}

TEST_F(PlistlibCrossCheck, HostIdIsAHashOfTheMachineIdNeverTheIdItself) {
  zqtest::ScopedEnv noOverride("ZQ_HOST_ID", std::nullopt);
  Config(0, "App", "Acme").SetString("k", "v");
  const std::vector<std::string> files = DataFiles(dir_.Path() / "system" / "ByHost");
  ASSERT_EQ(1u, files.size());

  const std::vector<std::string> id = Python("hostid 'ZQ::RVL::Utils preferences host id v1\n'");
  ASSERT_EQ(1u, id.size());
  EXPECT_EQ("com.acme.App." + id.front() + ".plist", files.front());
  const std::string machineId = zqtest::ReadFile("/etc/machine-id");
  if (machineId.size() > 8) {
    EXPECT_EQ(std::string::npos, files.front().find(machineId.substr(0, 8)));
  }
}
