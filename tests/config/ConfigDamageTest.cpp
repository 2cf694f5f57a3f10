// A settings file that cannot be parsed is never overwritten or deleted: reads
// of it fail, and the next write keeps its bytes under a ".corrupt-" name and
// starts the domain afresh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
using zqtest::ReadFile;
using zqtest::WriteSettledFile;
namespace fs = std::filesystem;

namespace {

// A binary property list of `count` arrays, each holding the next one (the
// last one empty, or, with `loop`, holding the first one again).
std::string NestedBinaryPlist(std::uint32_t count, bool loop) {
  const auto bigEndian = [](std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
  };
  std::string file = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (std::uint32_t i = 0; i < count; ++i) {
    offsets.push_back(static_cast<std::uint32_t>(file.size()));
    if (i + 1 == count && !loop) {
      file += '\xa0';
    } else {
      file += '\xa1';
      bigEndian(file, i + 1 == count ? 0 : i + 1, 4);
    }
  }
  const std::uint64_t tableAt = file.size();
  for (std::uint32_t offset : offsets) bigEndian(file, offset, 4);
  file += std::string(6, '\0') + '\x04' + '\x04';
  bigEndian(file, count, 8);
  bigEndian(file, 0, 8);
  bigEndian(file, tableAt, 8);
  return file;
}

// A binary property list of one dictionary: each key given as the raw bytes
// of its ASCII-typed string object (so it may hold any byte), each value the
// ASCII string of `values`.
std::string BinaryDictionary(const std::vector<std::string>& keys,
                             const std::vector<std::string>& values) {
  std::string file = "bplist00";
  std::vector<std::uint8_t> offsets;
  const std::size_t n = keys.size();
  offsets.push_back(static_cast<std::uint8_t>(file.size()));
  file += static_cast<char>(0xd0 | n);
  for (std::size_t i = 1; i <= 2 * n; ++i) file += static_cast<char>(i);
  for (const auto* texts : {&keys, &values}) {
    for (const std::string& text : *texts) {
      offsets.push_back(static_cast<std::uint8_t>(file.size()));
      file += static_cast<char>(0x50 | text.size());
      file += text;
    }
  }
  const std::size_t tableAt = file.size();
  for (std::uint8_t offset : offsets) file += static_cast<char>(offset);
  file += std::string(6, '\0') + '\x01' + '\x01';
  file += std::string(7, '\0') + static_cast<char>(offsets.size());
  file += std::string(8, '\0');
  file += std::string(7, '\0') + static_cast<char>(tableAt);
  return file;
}

// A binary property list of `objects`, each its marker and payload, with
// one-byte references; the first is the top object.
std::string BinaryPlist(const std::vector<std::string>& objects) {
  std::string file = "bplist00";
  std::string table;
  for (const std::string& object : objects) {
    for (int shift = 24; shift >= 0; shift -= 8) table += static_cast<char>(file.size() >> shift);
    file += object;
  }
  const std::size_t tableAt = file.size();
  file += table + std::string(6, '\0') + '\x04' + '\x01';
  for (int shift = 56; shift >= 0; shift -= 8) file += static_cast<char>(objects.size() >> shift);
  file += std::string(8, '\0');
  for (int shift = 56; shift >= 0; shift -= 8) file += static_cast<char>(tableAt >> shift);
  return file;
}

// The dictionary {"k": `value`}, `value` the raw bytes of one object.
std::string OneValue(const std::string& value) {
  return BinaryPlist({"\xd1\x01\x02", "Qk", value});
}

// The dictionary {"k": a0}, each array a(i) holding a(i + 1) `refs` times
// and a(depth - 1) holding `leaf`: with two, tiny on disk and 2^depth leaves
// expanded.
std::string SharedArrays(int depth, const std::string& leaf, int refs = 2) {
  std::vector<std::string> objects = {"\xd1\x01\x02", "Qk"};
  for (int i = 0; i < depth; ++i) {
    const std::string next(static_cast<std::size_t>(refs), static_cast<char>(objects.size() + 1));
    objects.push_back(static_cast<char>(0xa0 + refs) + next);
  }
  objects.push_back(leaf);
  return BinaryPlist(objects);
}

std::string XmlDictionary(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
         "</dict></plist>\n";
}

// An XML dictionary of `count` keys "0", "1"... with empty texts.
std::string XmlEntries(int count) {
  std::string body;
  for (int i = 0; i < count; ++i) body += "<key>" + std::to_string(i) + "</key><string/>";
  return XmlDictionary(body);
}

std::string NestedXmlPlist(std::size_t depth) {
  std::string file = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>";
  for (std::size_t i = 0; i < depth; ++i) file += "<array>";
  for (std::size_t i = 0; i < depth; ++i) file += "</array>";
  return file + "</dict></plist>";
}

class ConfigDamage : public zqtest::PreferencesTest {
 protected:
  const std::string domain_ = "com.acme.App";
  const Config config_{1, "App", "Acme"};

  std::string File() const { return UserFile(domain_); }

  void StoreBytes(const std::string& key, const std::string& bytes) const {
    config_.SetData(key, reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<std::uint32_t>(bytes.size()));
  }

  // The contents of every "<file>.corrupt-*" copy, in name order.
  std::vector<std::string> CorruptCopies() const {
    std::vector<std::string> copies;
    const std::string prefix = domain_ + ".plist.corrupt-";
    for (const std::string& name : Entries(dir_.Path() / "user")) {
      if (name.rfind(prefix, 0) == 0)
        copies.push_back(ReadFile((dir_.Path() / "user" / name).string()));
    }
    return copies;
  }

  // A valid file of this store holding a few keys.
  std::string ValidFile() {
    config_.SetString("first", "1");
    config_.SetString("second", std::string(300, 's'));
    const std::string bytes = ReadFile(File());
    fs::remove(File());
    return bytes;
  }
};

}  // namespace

TEST_F(ConfigDamage, DamagedFileIsKeptByteForByteAndTheDomainStartsAfresh) {
  const std::string valid = ValidFile();
  struct Case {
    std::string bytes, why;
  };
  const std::vector<Case> cases = {
      {"not a property list at all", "text"},
      {valid.substr(0, valid.size() / 2), "binary plist cut in half"},
      {valid.substr(0, valid.size() - 1), "binary plist missing its last byte"},
      {"bplist00" + std::string(40, '\xff'), "binary magic, garbage after it"},
      {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>",
       "root is an array"},
      {"<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>", "XML cut short"},
      {"", "empty file"},
      {std::string("\0\0\0\0", 4), "NUL bytes"},
      // Nested deep enough to overflow libplist's recursive parsers.
      {NestedXmlPlist(100000), "XML arrays nested 100000 deep"},
      {NestedBinaryPlist(100000, false), "binary arrays nested 100000 deep"},
      {NestedBinaryPlist(3, true), "binary arrays holding each other in a loop"},
      {NestedXmlPlist(64), "XML nested one level too deep"},
      // libplist aborts the process on a key whose strlen is not its length.
      {BinaryDictionary({std::string("a\0b", 3)}, {"v"}), "binary key with a NUL inside"},
      {BinaryDictionary({"k", std::string("\0", 1)}, {"v", "w"}), "binary key of one NUL"},
      // Shared objects, which libplist copies at every reference.
      {SharedArrays(16, "Qx"), "65536 entries from 16 shared arrays"},
      {SharedArrays(9, std::string("\x4f\x12\x00\x01\x00\x00", 6) + std::string(1 << 16, 'd')),
       "32 MiB from 64 KiB of data shared by 512 references"},
      {XmlEntries(20001), "20001 entries"},
      {XmlDictionary(std::string(Config::kMaxFileBytes, ' ')), "a file over the size limit"},
      {BinaryPlist([] {
         std::vector<std::string> objects(40002, "\x09");
         objects[0] = "\xd0";
         return objects;
       }()),
       "40002 objects, as no file of 20000 entries needs"},
      {SharedArrays(64, "Qx", 1), "binary arrays nested 65 deep"},
      // Values libplist cannot carry over, and objects plistlib refuses (the
      // null, fill and unknown objects, UIDs of 2^32 and more, XML byte-order
      // marks, NULs and unknown elements libplist 2.2 refuses itself).
      {OneValue(std::string("\x53"
                            "a\0b",
                            4)),
       "ASCII text with a NUL"},
      {OneValue(std::string("\x61\0\0", 3)), "UTF-16 text of a NUL"},
      {OneValue("\x51\xe9"), "ASCII text with a byte above 0x7f"},
      {OneValue("\x14" + std::string(7, '\0') + "\x01" + std::string(8, '\0')),
       "16-byte integer beyond 64 bits"},
      {OneValue(std::string("\x33\x43\x0c\x6b\xf5\x26\x34\x00\x00", 9)), "date after 9999"},
      {BinaryPlist({"\xd1\x01\x02", "Qk", "\xc1\x01"}), "set"},
      {BinaryPlist({"\xd2\x01\x01\x02\x03", "Qk", "Qa", "Qb"}), "root naming a key twice"},
      {XmlDictionary("<key>k</key>"), "XML key without a value"},
      {XmlDictionary("<key>k</key><integer>12ab</integer>"), "XML integer holding letters"},
      {XmlDictionary("<key>k</key><integer>0123</integer>"), "XML integer with a leading 0"},
      {XmlDictionary("<key>k</key><real>0x1p3</real>"), "XML real plistlib refuses"},
      {XmlDictionary("<key>k</key><date>2020-13-01T00:00:00Z</date>"), "XML date of month 13"},
      {XmlDictionary("<key>k</key><data>AB=C</data>"), "XML data padded inside"},
      {XmlDictionary("<key>k</key><string>a\r\nb</string>"), "XML text with a CR"},
      {XmlDictionary("<key>k</key><true/><key>k</key><false/>"), "XML root naming a key twice"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict/></plist>",
       "XML in another encoding"},
      {"<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"x\">]><plist><dict/></plist>",
       "XML declaring an entity"},
      // libplist moves the rest of a text down at each reference it decodes.
      {XmlDictionary("<key>k</key><string>" +
                     [] {
                       std::string references;
                       for (int i = 0; i < 20000; ++i) references += "&amp;";
                       return references;
                     }() +
                     std::string(200000, 'x') + "</string>"),
       "XML references that cost libplist 5e9 bytes moved, above 2^32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    zqtest::TempDir caseDir;
    zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", caseDir.Path().string());
    fs::create_directories(caseDir.Path() / "user");
    const std::string file = (caseDir.Path() / "user" / (domain_ + ".plist")).string();
    WriteSettledFile(file, c.bytes);

    std::string value = "unchanged";
    EXPECT_FALSE(config_.GetString("first", value));
    EXPECT_TRUE(config_.GetKeys().empty());
    EXPECT_EQ("unchanged", value);
    EXPECT_EQ(c.bytes, ReadFile(file)) << "a read changed the file";

    config_.SetString("after", "works");
    EXPECT_TRUE(config_.GetString("after", value));
    EXPECT_EQ("works", value);
    EXPECT_EQ(std::vector<std::string>{"after"}, config_.GetKeys());

    std::vector<std::string> copies;
    for (const std::string& name : Entries(caseDir.Path() / "user")) {
      if (name.find(".corrupt-") != std::string::npos) {
        copies.push_back(ReadFile((caseDir.Path() / "user" / name).string()));
      }
    }
    EXPECT_EQ(std::vector<std::string>{c.bytes}, copies);
  }
}

TEST_F(ConfigDamage, AFileAtTheEntryLimitIsReadAndNeverWrittenBeyondIt) {
  fs::create_directories(dir_.Path() / "user");
  std::string distinct;  // distinct values: as many objects as the limit allows
  for (int i = 0; i < 20000; ++i) {
    distinct += "<key>" + std::to_string(i) + "</key><string>" + std::to_string(i) + "</string>";
  }
  WriteSettledFile(File(), XmlDictionary(distinct));
  std::string value = "unchanged";
  EXPECT_TRUE(config_.GetString("19999", value));
  EXPECT_EQ("19999", value);
  config_.SetString("7", "x");  // still 20000 entries: stored
  EXPECT_TRUE(config_.GetString("7", value));
  EXPECT_EQ("x", value);
  const std::string full = ReadFile(File());
  ZQ::RVL::Utils::ConfigStatus status;
  EXPECT_FALSE(config_.SetString("one more", "y", status));  // 20001: stores nothing
  EXPECT_EQ(ZQ::RVL::Utils::ConfigError::kOverLimits, status.Error());
  EXPECT_NE(std::string::npos, status.Detail().find("more than 20000 entries")) << status.Detail();
  EXPECT_FALSE(config_.GetString("one more", value));
  EXPECT_EQ(full, ReadFile(File()));
  EXPECT_TRUE(CorruptCopies().empty());
}

TEST_F(ConfigDamage, RepeatedDamageNeverReplacesAnEarlierCopy) {
  fs::create_directories(dir_.Path() / "user");
  for (const char* bytes : {"damage one", "damage two", "damage three"}) {
    WriteSettledFile(File(), bytes);
    config_.SetString("k", "v");  // within one second: the copies need distinct names
  }
  std::vector<std::string> copies = CorruptCopies();
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ((std::vector<std::string>{"damage one", "damage three", "damage two"}), copies);
}

// Also when the key is not there, and when the file is one the store wrote
// whose damage a lookup would not meet (its keys out of order).
TEST_F(ConfigDamage, DeleteAlsoSetsTheDamagedFileAside) {
  for (const char* key : {"k1", "k2", "k3"}) config_.SetString(key, "v");
  std::string outOfOrder = ReadFile(File());
  const std::size_t first = outOfOrder.find("\x52k1");  // the ASCII text "k1"
  ASSERT_NE(std::string::npos, first);
  outOfOrder[first + 2] = '9';
  for (const std::string& damaged : {std::string("garbage"), outOfOrder}) {
    fs::remove_all(dir_.Path() / "user");
    fs::create_directories(dir_.Path() / "user");
    WriteSettledFile(File(), damaged);
    config_.Delete("anything");
    EXPECT_EQ(std::vector<std::string>{damaged}, CorruptCopies());
    EXPECT_TRUE(config_.GetKeys().empty());
    config_.SetString("k", "v");
    EXPECT_EQ(std::vector<std::string>{"k"}, config_.GetKeys());
  }
}

TEST_F(ConfigDamage, OversizedFileIsTreatedAsDamagedWithoutBeingRead) {
  fs::create_directories(dir_.Path() / "user");
  WriteSettledFile(File(), "");
  fs::resize_file(File(), Config::kMaxFileBytes + 1);  // sparse: nothing real written
  std::string value;
  EXPECT_FALSE(config_.GetString("k", value));
  config_.SetString("k", "v");
  EXPECT_TRUE(config_.GetString("k", value));
  const std::string prefix = domain_ + ".plist.corrupt-";
  std::uintmax_t keptSize = 0;
  for (const std::string& name : Entries(dir_.Path() / "user")) {
    if (name.rfind(prefix, 0) == 0) keptSize = fs::file_size(dir_.Path() / "user" / name);
  }
  EXPECT_EQ(Config::kMaxFileBytes + 1, keptSize);
}

// A writer killed mid-write leaves its temporary files and its lock file
// marked unfinished; whatever became of that lock file since, the next write
// of this process (which has looked for strays before) removes them.
TEST_F(ConfigDamage, StrayTemporaryFilesOfAKilledWriterAreRemoved) {
  config_.SetString("k", "v");
  const fs::path folder = dir_.Path() / "user";
  const fs::path lock = folder / (domain_ + ".plist.lock");
  const std::vector<std::string> strays = {domain_ + ".plist.tmp-Ab12Z9",
                                           domain_ + ".plist.tmp-000000"};
  const std::vector<std::string> kept = {domain_ + ".plist.tmp-short",
                                         domain_ + ".plist.tmp-toolong1",
                                         "com.acme.Other.plist.tmp-Ab12Z9", "unrelated.txt"};
  const struct {
    const char* what;
    std::function<void()> happen;
  } rows[] = {
      {"lock file left as it was", [] {}},
      {"lock file removed", [&] { fs::remove(lock); }},
      {"lock file emptied", [&] { fs::resize_file(lock, 0); }},
      {"lock file replaced by an empty one",
       [&] {
         fs::remove(lock);
         WriteSettledFile(lock.string(), "");
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    for (const auto& name : strays) WriteSettledFile((folder / name).string(), "partial");
    for (const auto& name : kept) WriteSettledFile((folder / name).string(), "not ours");
    fs::resize_file(lock, 1);  // as the killed writer left it
    row.happen();
    config_.SetString("k", row.what);
    for (const auto& name : strays) EXPECT_FALSE(fs::exists(folder / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(folder / name)) << name;
  }
}

// A writer that leaves no mark when it is killed (one of an older version, or
// one whose lock file was removed underneath it) leaves its lock file reading
// finished: a process that has looked before still removes its strays within
// a bounded number of writes.
TEST_F(ConfigDamage, StraysUnderAFinishedMarkDoNotOutliveTheProcessesWrites) {
  config_.SetString("k", "v");
  config_.SetString("k", "w");  // this process has now looked at a finished mark
  const fs::path folder = dir_.Path() / "user";
  const fs::path lock = folder / (domain_ + ".plist.lock");
  const fs::path stray = folder / (domain_ + ".plist.tmp-Ab12Z9");
  ASSERT_EQ(2u, fs::file_size(lock));
  WriteSettledFile(stray.string(), "partial");
  int writes = 0;
  while (fs::exists(stray) && writes < 1000) config_.SetString("k", std::to_string(++writes));
  EXPECT_FALSE(fs::exists(stray)) << "after " << writes << " writes";
  EXPECT_LE(writes, 64);
  EXPECT_EQ(2u, fs::file_size(lock));
}

// Mutated files (bytes flipped, cut, inserted) from a valid binary and a valid
// XML file: readers must never crash, and a write either takes effect or
// leaves the file exactly as it was. Deterministic, so a failure replays.
TEST_F(ConfigDamage, MutatedFilesNeverCrashReadersOrLoseBytes) {
  config_.SetString("text", "value");
  StoreBytes("blob", std::string(40, '\x7f'));
  config_.SetValue("number", -12);
  const std::string binary = ReadFile(File());
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>text</key><string>value</string><key>blob</key><data>AAEC</data>"
      "<key>n</key><array><integer>1</integer><real>2.5</real><true/></array>"
      "</dict></plist>";
  std::mt19937 random(7);
  for (int i = 0; i < 600; ++i) {
    std::string bytes = i % 2 ? binary : xml;
    for (unsigned m = 0, count = 1 + random() % 4; m < count && !bytes.empty(); ++m) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0:
          bytes[at] = static_cast<char>(random());
          break;
        case 1:
          bytes.resize(at);
          break;
        default:
          bytes.insert(at, 1, static_cast<char>(random()));
          break;
      }
    }
    WriteSettledFile(File(), bytes);
    std::string text;
    unsigned char* data = nullptr;
    std::uint32_t length = 0;
    config_.GetString("text", text);
    if (config_.GetData("blob", data, length)) delete[] data;
    config_.GetKeys();
    if (i % 40 == 0) {
      config_.SetString("probe", "p");
      EXPECT_TRUE(config_.GetString("probe", text) || ReadFile(File()) == bytes) << i;
    }
  }
}

// libplist writes every non-ASCII text as UTF-16 converted from UTF-8, so a
// key or text of another program that is not UTF-8 would come back altered
// from our next write (and plistlib refuses such a file): it is damaged, and
// the next write keeps it aside whole.
TEST_F(ConfigDamage, TextsThatAreNotUtf8AreNeverRewritten) {
  struct Case {
    std::vector<std::string> keys, values;
    std::string why;
  };
  const std::vector<Case> cases = {
      {{"ok", "po\xf2t"}, {"1", "2"}, "key with a stray lead byte"},
      {{"ok", "bad"}, {"1", "x\xffy"}, "value with a byte that is never UTF-8"},
      {{"ok", "bad"}, {"1", "\xc0\xaf"}, "value in an overlong form"},
      {{"ok", "bad"}, {"1", "\xed\xa0\x80"}, "value holding a surrogate"},
      {{"ok", "bad"}, {"1", "caf\xc3\xa9"}, "UTF-8 in an ASCII object"},
  };
  fs::create_directories(dir_.Path() / "user");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string bytes = BinaryDictionary(c.keys, c.values);
    WriteSettledFile(File(), bytes);
    std::string value;
    EXPECT_FALSE(config_.GetString("ok", value));
    config_.SetString("new", "n");
    EXPECT_EQ(std::vector<std::string>{bytes}, CorruptCopies());
    for (const std::string& name : Entries(dir_.Path() / "user")) {
      if (name.find(".corrupt-") != std::string::npos) fs::remove(dir_.Path() / "user" / name);
    }
  }
}

// libplist's binary writer stores equal texts once, so texts shared often must
// pass the expansion rule: a foreign file holding them would otherwise read
// but never take a write again, and plistlib's own binary files would be damaged.
TEST_F(ConfigDamage, TextsSharedManyTimesAreReadAndTakeWrites) {
  std::string items;
  for (int i = 0; i < 1000; ++i) items += "<string>" + std::string(1000, 'x') + "</string>";
  const std::vector<std::string> files = {
      XmlDictionary("<key>k</key><array>" + items + "</array>"),
      SharedArrays(7, std::string("\x5f\x10\xff", 3) + std::string(255, 'd')),
  };
  for (const std::string& bytes : files) {
    fs::create_directories(dir_.Path() / "user");
    WriteSettledFile(File(), bytes);
    EXPECT_EQ(std::vector<std::string>{"k"}, config_.GetKeys());
    config_.SetString("after", "works");
    EXPECT_EQ((std::vector<std::string>{"after", "k"}), config_.GetKeys());
    EXPECT_TRUE(CorruptCopies().empty());
  }
}
