// Cross-checks the store's files against Python's plistlib, a property-list
// implementation written by nobody here: files plistlib writes (XML and
// binary) are read, our files are read back by plistlib with the same keys and
// values, and the this-machine file name carries the host id that Python's
// hashlib derives from the machine id.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceTransfer.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

constexpr const char* kScript = R"PY(
import datetime, hashlib, os, plistlib, socket, struct, sys

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

def write_shared(path, where):
    # One text of 8380 characters under 2000 keys: plistlib stores it once, so
    # the file is small, while its texts, counted at each reference, come
    # within 5 KB of the 16 MiB the store reads.
    text = 'x' * 8380
    value = {'k%04d' % i: text if where == 'root' else [text] for i in range(2000)}
    with open(path, 'wb') as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)

def count_shared(path, where):
    with open(path, 'rb') as f:
        value = plistlib.load(f)
    text = 'x' * 8380
    print(sum(1 for v in value.values() if v == (text if where == 'root' else [text])), len(value))

def write_equal_data(path):
    # Arrays holding equal data items: one value of each row, stored once by plistlib.
    rows = {'small': [b'a'] * 40, 'mixed': [bytes([i % 3]) for i in range(200)],
            'sizes': [bytes(i % 5) for i in range(300)], 'nested': [{'d': b'x', 'e': [b'x']}] * 50}
    with open(path, 'wb') as f:
        plistlib.dump(rows, f, fmt=plistlib.FMT_BINARY)

def write_text(path, utf8_hex):
    value = bytes.fromhex(utf8_hex).decode('utf-8')
    with open(path, 'wb') as f:
        plistlib.dump({'k': value, 'list': [value]}, f, fmt=plistlib.FMT_BINARY)

def same_values(left, right):
    with open(left, 'rb') as f, open(right, 'rb') as g:
        print(plistlib.load(f) == plistlib.load(g))

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

def repack(raw, offset_size, ref_size):
    # The same binary list with offsets and references of the sizes given.
    old_offset, old_ref, count, top, table = struct.unpack('>6xBBQQQ', raw[-32:])
    offsets = [int.from_bytes(raw[table + i * old_offset:][:old_offset], 'big') for i in range(count)]
    ends = sorted(offsets)[1:] + [table]
    out, new_offsets = bytearray(b'bplist00'), []
    for at in offsets:
        body = raw[at:ends[sorted(offsets).index(at)]]
        new_offsets.append(len(out))
        if body[0] >> 4 in (0xA, 0xD):
            n, head = body[0] & 15, 1
            if n == 15:
                head = 2 + (1 << (body[1] & 3))
                n = int.from_bytes(body[2:head], 'big')
            n *= 2 if body[0] >> 4 == 0xD else 1
            refs = [int.from_bytes(body[head + i * old_ref:][:old_ref], 'big') for i in range(n)]
            body = body[:head] + b''.join(r.to_bytes(ref_size, 'big') for r in refs)
        out += body
    table = len(out)
    out += b''.join(o.to_bytes(offset_size, 'big') for o in new_offsets)
    return bytes(out + struct.pack('>6xBBQQQ', offset_size, ref_size, count, top, table))

def cases(folder):
    # name: (value, formats, what the store must do with the file)
    uid = plistlib.UID
    table = {
        'ints': ({'v%d' % i: n for i, n in enumerate([0, 1, 255, 256, 65535, 65536, 2**31, 2**32,
                 2**63 - 1, 2**63, 2**64 - 1, -1, -2**31, -2**63])}, 'bx', 'accept'),
        'reals': ({'a': 0.0, 'b': -0.0, 'c': 1.5, 'd': 0.1, 'e': 1e308, 'f': 5e-324, 'g': float('inf'),
                   'h': -float('inf'), 'i': float('nan'), 'j': 1.2345678901234567e+19}, 'bx', 'accept'),
        'dates': ({'a': datetime.datetime(2001, 1, 1), 'b': datetime.datetime(1970, 1, 1, 0, 0, 1),
                   'c': datetime.datetime(1900, 2, 28, 12, 30, 45), 'd': datetime.datetime(9999, 12, 31),
                   'e': datetime.datetime(1, 1, 1), 'f': datetime.datetime(2100, 1, 1, 0, 0, 0, 123456)},
                  'bx', 'accept'),
        'nested': ({'a': [1, [2, {'b': [b'x', 'y', {}, []]}]], 'e': {}, 't': True, 'f': False},
                   'bx', 'accept'),
        'texts': ({'ascii': 'hello', 'long': 'z' * 600, 'empty': '', 'uni': 'caf\u00e9 \u2603 \U0001f600',
                   'cl\u00e9': 'key', '\u65e5\u672c': 'x', 'ws': ' a\tb\n'}, 'bx', 'accept'),
        'bytes': ({'none': b'', 'all': bytes(range(256)), 'big': bytes(70000)}, 'bx', 'accept'),
        'escapes': ({'t': '&<>' * 6000 + 'x' * 180000}, 'x', 'accept'),  # 18000 references, 3.9e9 bytes moved
        'refs2': ({'k%03d' % i: 's%d' % i for i in range(300)}, 'b', 'accept'),
        'uid': ({'u': uid(5), 'w': uid(2**32 - 1)}, 'b', 'accept'),
        'uidbig': ({'u': uid(2**32)}, 'b', 'damaged'),
        'nul': ({'t': 'string containing \x00', 'ok': 'v'}, 'b', 'damaged'),
        'widenul': ({'t': '\u00e9\x00x', 'ok': 'v'}, 'b', 'damaged'),
        'refs4': ({'a': list(range(70000))}, 'b', 'damaged'),
    }
    for name, (value, formats, verdict) in table.items():
        for fmt in formats:
            raw = plistlib.dumps(value, fmt=plistlib.FMT_BINARY if fmt == 'b' else plistlib.FMT_XML)
            files = [(name + '-' + fmt, raw)]
            if name == 'nested' and fmt == 'b':
                files += [(name + '-o%dr%d' % s, repack(raw, *s)) for s in ((2, 1), (3, 2), (8, 8))]
            for file_name, data in files:
                with open(os.path.join(folder, 'com.acme.' + file_name + '.plist'), 'wb') as f:
                    f.write(data)
                print(file_name, verdict)

def dump_all(folder):
    for name in sorted(os.listdir(folder)):
        if name.startswith('com.acme.') and name.endswith('.plist'):
            print('==', name[9:-6])
            dump(os.path.join(folder, name))

command = sys.argv[1]
if command == 'dump':
    dump(sys.argv[2])
elif command == 'cases':
    cases(sys.argv[2])
elif command == 'dump-all':
    dump_all(sys.argv[2])
elif command == 'write':
    write(sys.argv[2], sys.argv[3])
elif command == 'write-nul':
    write_nul(sys.argv[2])
elif command == 'write-shared':
    write_shared(sys.argv[2], sys.argv[3])
elif command == 'count-shared':
    count_shared(sys.argv[2], sys.argv[3])
elif command == 'write-equal-data':
    write_equal_data(sys.argv[2])
elif command == 'write-text':
    write_text(sys.argv[2], sys.argv[3])
elif command == 'same-values':
    same_values(sys.argv[2], sys.argv[3])
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

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
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

// Texts with a NUL inside, as another program may write them: libplist keeps
// an ASCII one only up to its NUL and can write neither back, so the file is
// damaged: not read, and kept aside whole by the next write. (libplist's
// plist_get_string_val() aborts the process on such a value.)
TEST_F(PlistlibCrossCheck, ForeignTextsWithANulAreReadSafelyAndNeverCutOnDisk) {
  fs::create_directories(dir_.Path() / "user");
  const std::string file = UserFile("com.acme.App");
  Python("write-nul '" + file + "'");
  const std::string before = zqtest::ReadFile(file);

  const Config config(1, "App", "Acme");
  std::string text;
  EXPECT_FALSE(config.GetString("text", text));
  EXPECT_FALSE(config.GetString("wide", text));
  EXPECT_TRUE(config.GetKeys().empty());

  config.SetString("added", "x");
  EXPECT_TRUE(config.GetString("added", text));
  std::vector<std::string> kept;
  for (const std::string& name : Entries(dir_.Path() / "user")) {
    if (name.find(".corrupt-") != std::string::npos) {
      kept.push_back(zqtest::ReadFile((dir_.Path() / "user" / name).string()));
    }
  }
  EXPECT_EQ(std::vector<std::string>{before}, kept);
}

// Files plistlib writes, in both formats, of every kind of value and binary
// layout: what the store accepts it reads as plistlib does, and its next write
// keeps every value plistlib reads; what it refuses (values libplist cannot
// carry over, files beyond its limits) it keeps aside byte for byte.
TEST_F(PlistlibCrossCheck, ReadsAndRewritesAgreeWithPlistlib) {
  const fs::path folder = dir_.Path() / "user";
  fs::create_directories(folder);
  const std::vector<std::string> cases = Python("cases '" + folder.string() + "'");
  ASSERT_GT(cases.size(), 20u);
  const auto dumps = [&] {
    std::map<std::string, std::vector<std::string>> byName;
    std::vector<std::string>* current = nullptr;
    for (const std::string& line : Python("dump-all '" + folder.string() + "'")) {
      if (line.rfind("== ", 0) == 0) {
        current = &byName[line.substr(3)];
      } else if (current != nullptr && line != "binary" && line != "xml") {
        current->push_back(line);
      }
    }
    return byName;
  };
  const auto before = dumps();
  std::map<std::string, std::string> refused;
  for (const std::string& line : cases) {
    const std::string name = line.substr(0, line.find(' '));
    SCOPED_TRACE(name);
    const Config config(1, name, "Acme");
    if (line.substr(name.size() + 1) != "accept") {
      refused[name] = zqtest::ReadFile(UserFile("com.acme." + name));
      EXPECT_TRUE(config.GetKeys().empty());
      config.SetString("~added", "1");
      continue;
    }
    // Config reads ASCII keys, ASCII texts under 512 characters and bytes.
    std::vector<std::string> keys;
    for (const std::string& entry : before.at(name)) {
      std::istringstream fields(entry);
      std::string key, kind, value, text;
      fields >> key >> kind >> value;
      key = Unhex(key);
      if (kind == "text" || kind == "bytes") value = Unhex(value);
      const auto ascii = [](const std::string& t) {
        return std::all_of(t.begin(), t.end(), [](char c) { return c > 0; });
      };
      if (!ascii(key)) continue;
      keys.push_back(key);
      unsigned char* data = nullptr;
      std::uint32_t length = 0;
      const bool readable = kind == "text" && ascii(value) && value.size() < 512;
      EXPECT_EQ(readable, config.GetString(key, text)) << key;
      if (readable) {
        EXPECT_EQ(value, text) << key;
      }
      const bool bytes = kind == "bytes" && !value.empty();
      EXPECT_EQ(bytes, config.GetData(key, data, length)) << key;
      const std::unique_ptr<unsigned char[]> owned(data);
      if (bytes) {
        EXPECT_EQ(value, std::string(reinterpret_cast<char*>(data), length)) << key;
      }
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, config.GetKeys());
    config.SetString("~added", "1");
  }
  const auto after = dumps();
  for (const std::string& line : cases) {
    const std::string name = line.substr(0, line.find(' '));
    std::vector<std::string> expected =
        refused.count(name) ? std::vector<std::string>{} : before.at(name);
    expected.push_back(Hex("~added") + " text " + Hex("1"));
    std::vector<std::string> got = after.at(name);
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(expected, got) << name;
  }
  for (const std::string& name : Entries(folder)) {
    const std::string domain = name.substr(9, name.find(".plist") - 9);
    if (name.find(".corrupt-") != std::string::npos) {
      EXPECT_EQ(refused[domain], zqtest::ReadFile((folder / name).string())) << name;
      refused.erase(domain);
    }
  }
  for (const auto& [name, bytes] : refused) ADD_FAILURE() << name << " was not kept aside";
}

// A text that a file refers to from many places, as plistlib and libplist
// write it (once): the file is small, and its rewrite must stay as small, or
// a file the store reads could take no write at all.
TEST_F(PlistlibCrossCheck, FilesThatShareOneTextStillTakeAWrite) {
  fs::create_directories(dir_.Path() / "user");
  for (const char* where : {"root", "array"}) {
    SCOPED_TRACE(where);
    const std::string file = UserFile("com.acme.App");
    Python("write-shared '" + file + "' " + where);
    const std::size_t size = zqtest::ReadFile(file).size();
    ASSERT_LT(size, 100000u);

    const Config config(1, "App", "Acme");
    EXPECT_EQ(2000u, config.GetKeys().size());
    config.SetString("added", "1");
    std::string text;
    EXPECT_TRUE(config.GetString("added", text));
    EXPECT_LT(zqtest::ReadFile(file).size(), 2 * size);
    EXPECT_EQ(std::vector<std::string>{"2000 2001"},
              Python("count-shared '" + file + "' " + where));
    config.Delete("k0000");
    const std::vector<std::string> keys = config.GetKeys();
    EXPECT_EQ(2000u, keys.size());
    EXPECT_EQ(keys.end(), std::find(keys.begin(), keys.end(), "k0000"));
  }
}

// Values of another program that hold equal data items: every XML export of
// them works and reads in plistlib as the file does (libplist stores such items
// once or not, at random, so no two binary encodings of them need agree).
TEST_F(PlistlibCrossCheck, XmlExportOfEqualDataItemsAlwaysWorks) {
  fs::create_directories(dir_.Path() / "user");
  const std::string file = UserFile("com.acme.App");
  Python("write-equal-data '" + file + "'");
  for (int i = 0; i < 20; ++i) {
    std::string xml;
    ASSERT_TRUE(ZQ::RVL::Utils::ExportPreferences(1, "App", "Acme",
                                                  ZQ::RVL::Utils::PreferenceFormat::kXml, xml))
        << "export " << i;
    zqtest::WriteFile(dir_.File("export.xml"), xml);
    EXPECT_EQ(std::vector<std::string>{"True"},
              Python("same-values '" + file + "' '" + dir_.File("export.xml") + "'"));
  }
}

// Texts of another program's file that libplist writes into XML as they are:
// an export holding one is refused, or it reads in plistlib as the file does.
TEST_F(PlistlibCrossCheck, XmlExportsReadInPlistlibOrAreRefused) {
  const struct {
    const char* what;
    const char* utf8Hex;
    bool exported;
  } rows[] = {
      {"U+FFFE", "61efbfbe62", false},    {"U+FFFF", "61efbfbf62", false},
      {"U+FEFF first", "efbbbf62", true}, {"U+FFFD", "61efbfbd62", true},
      {"a tab", "610962", true},
  };
  fs::create_directories(dir_.Path() / "user");
  const std::string file = UserFile("com.acme.App");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Python("write-text '" + file + "' " + row.utf8Hex);
    const Config config(1, "App", "Acme");
    ASSERT_EQ(2u, config.GetKeys().size());
    std::string xml;
    EXPECT_EQ(row.exported, ZQ::RVL::Utils::ExportPreferences(
                                1, "App", "Acme", ZQ::RVL::Utils::PreferenceFormat::kXml, xml));
    if (!row.exported) continue;
    zqtest::WriteFile(dir_.File("export.xml"), xml);
    EXPECT_EQ(std::vector<std::string>{"True"},
              Python("same-values '" + file + "' '" + dir_.File("export.xml") + "'"));
  }
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
