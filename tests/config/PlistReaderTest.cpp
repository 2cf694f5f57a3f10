// The store's one reader: what it accepts reads and writes back whatever the
// host's locale, a file within the limits reads and writes, one beyond them
// is refused by every way of reading alike, and every refusal names its rule
// and where.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "tests/support/TempDir.h"
#include "utils/config/store/PlistCodec.h"

namespace P = ZQ::RVL::Utils::Preferences;

namespace {

void AppendBigEndian(std::uint64_t value, int width, std::string& out) {
  for (int i = width - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xff);
}

// A binary property list of `objects` (marker and payload each; the first is
// the top object), with 4-byte offsets and 1-byte references.
std::string BinaryPlist(const std::vector<std::string>& objects) {
  std::string file = "bplist00";
  std::string table;
  for (const std::string& object : objects) {
    AppendBigEndian(file.size(), 4, table);
    file += object;
  }
  const std::size_t tableAt = file.size();
  file += table + std::string(6, '\0') + '\x04' + '\x01';
  AppendBigEndian(objects.size(), 8, file);
  AppendBigEndian(0, 8, file);
  AppendBigEndian(tableAt, 8, file);
  return file;
}

// {"k": value}, `value` one object's raw bytes.
std::string OneValue(const std::string& value) {
  return BinaryPlist({"\xd1\x01\x02", "Qk", value});
}

std::string Xml(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
         "</dict></plist>\n";
}

// A date (marker 0x33) or, with `marker` 0x23, a real of 8 bytes.
std::string Date(double seconds, char marker = '\x33') {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &seconds, sizeof bits);
  std::string object(1, marker);
  AppendBigEndian(bits, 8, object);
  return object;
}

// A UTF-16 text object of `units` copies of `unit`.
std::string Utf16Text(std::size_t units, std::uint16_t unit) {
  std::string object = "\x6f\x12";
  AppendBigEndian(units, 4, object);
  for (std::size_t i = 0; i < units; ++i) AppendBigEndian(unit, 2, object);
  return object;
}

// Sets the whole process's locale to de_DE.UTF-8 (decimal comma), made with
// localedef in a folder of its own, until destroyed.
class GermanLocale {
 public:
  GermanLocale() {
    const std::string made = dir_.Path().string() + "/de_DE.UTF-8";
    const std::string command = "localedef -i de_DE -f UTF-8 '" + made + "' 2>/dev/null";
    if (std::system(command.c_str()) > 1) return;  // 1: warnings only
    ::setenv("LOCPATH", dir_.Path().c_str(), 1);
    active_ = ::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~GermanLocale() {
    ::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  bool Active() const { return active_; }

 private:
  zqtest::TempDir dir_;
  bool active_ = false;
};

}  // namespace

// Another program's reals go through every conversion unchanged under a
// locale whose decimal separator is a comma.
TEST(PlistReader, TheHostsLocaleChangesNoValue) {
  const std::string xml =
      Xml("<key>ratio</key><real>1.5</real><key>scale</key><real>0.25</real>"
          "<key>z</key><array><real>-0.5</real><real>3.25</real></array>");
  P::Dictionary expected;
  ASSERT_TRUE(P::DecodeDictionary(xml, expected));
  const GermanLocale german;
  ASSERT_TRUE(german.Active()) << "localedef could not make de_DE.UTF-8 (Debian's locales)";
  ASSERT_STREQ(",", ::localeconv()->decimal_point);

  const std::function<bool(P::Dictionary&)> paths[] = {
      [&](P::Dictionary& out) { return P::DecodeDictionary(xml, out); },
      [&](P::Dictionary& out) {  // the store's rewrite of the file
        std::string binary;
        return P::EncodeDictionary(expected, binary) && P::DecodeDictionary(binary, out);
      },
      [&](P::Dictionary& out) {  // an export to XML and its import
        std::string exported;
        return P::EncodeDictionary(expected, exported, P::PlistFormat::kXml) &&
               exported.find("1.5") != std::string::npos && P::DecodeDictionary(exported, out);
      },
  };
  for (std::size_t i = 0; i < std::size(paths); ++i) {
    SCOPED_TRACE("path " + std::to_string(i));
    P::Dictionary got;
    ASSERT_TRUE(paths[i](got));
    ASSERT_EQ(expected.size(), got.size());
    for (const auto& [key, value] : expected) EXPECT_TRUE(P::SameValue(value, got[key])) << key;
  }
}

// Files within the limits, binary or XML, at their edges: each reads, writes
// back, and reads back the same.
TEST(PlistReader, FilesWithinTheLimitsReadAndWrite) {
  const std::string bigLatin = std::string(5600000, 'a') + "\xc3\xa9";
  const struct {
    const char* what;
    std::string file;
  } rows[] = {
      {"the last second of 9999, binary", OneValue(Date(252423993599.0))},
      {"the last second of 9999, XML", Xml("<key>k</key><date>9999-12-31T23:59:59Z</date>")},
      {"the first second of the year 1", OneValue(Date(-63113904000.0))},
      {"5.6 MB of XML text holding one e-acute",
       Xml("<key>k</key><string>" + bigLatin + "</string>")},
      {"a 12 MB binary text of 6 million Cyrillic characters",
       BinaryPlist({"\xd1\x01\x02", "Qk", Utf16Text(6000000, 0x0410)})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    P::Dictionary read;
    P::PlistRefusal why;
    ASSERT_TRUE(P::DecodeDictionary(row.file, read, &why)) << why.Text();
    std::string written;
    ASSERT_TRUE(P::EncodeDictionary(read, written, P::PlistFormat::kBinary, &why)) << why.Text();
    P::Dictionary back;
    ASSERT_TRUE(P::DecodeDictionary(written, back, &why)) << why.Text();
    ASSERT_EQ(1u, back.size());
    EXPECT_TRUE(P::SameValue(read.at("k"), back.at("k")));
  }
}

// Beyond a limit, the whole decode, the check, the key list and a lookup all
// refuse, over the limits, for the same reason.
TEST(PlistReader, FilesBeyondTheLimitsAreRefusedByEveryPathAlike) {
  // {"k": [x, x, ... 20001 times]}
  std::string items = "\xaf\x11\x4e\x21" + std::string(20001, '\x03');
  // {"k": [[[...]]]}, 64 arrays: the innermost 65 deep.
  std::vector<std::string> nested{"\xd1\x01\x02", "Qk"};
  for (char next = 3; next < 66; ++next) nested.push_back(std::string("\xa1") + next);
  nested.push_back("\xa0");
  const struct {
    const char* what;
    std::string file;
    const char* rule;
  } rows[] = {
      {"9 MB of XML text with one e-acute: 18 MB as UTF-16",
       Xml("<key>k</key><string>" + std::string(9000000, 'a') + "\xc3\xa9</string>"),
       "bytes of content"},
      {"a binary text of 8.5 million UTF-16 units: 17 MB",
       BinaryPlist({"\xd1\x01\x02", "Qk", Utf16Text(8500000, 0x0410)}), "bytes of content"},
      {"a file one byte over the size limit",
       Xml("<key>k</key><string>" + std::string(ZQ::RVL::Utils::Config::kMaxFileBytes, 'a') +
           "</string>"),
       "larger than"},
      {"20001 entries", BinaryPlist({"\xd1\x01\x02", "Qk", items, "Qx"}),
       "more than 20000 entries"},
      {"nested 65 deep", BinaryPlist(nested), "nested deeper than 64"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    P::Dictionary dictionary;
    std::vector<std::string> keys;
    std::optional<P::StoredValue> value;
    P::PlistRefusal whole, check, list, lookup;
    EXPECT_FALSE(P::DecodeDictionary(row.file, dictionary, &whole));
    EXPECT_FALSE(P::CheckPlist(row.file, &check));
    EXPECT_FALSE(P::DecodeKeys(row.file, keys, &list));
    EXPECT_FALSE(P::DecodeOneValue(row.file, "k", value, &lookup));
    EXPECT_TRUE(whole.overLimits) << whole.Text();
    EXPECT_NE(std::string::npos, whole.rule.find(row.rule)) << whole.Text();
    for (const P::PlistRefusal* other : {&check, &list, &lookup}) {
      EXPECT_EQ(whole.Text(), other->Text());
      EXPECT_TRUE(other->overLimits);
    }
  }
}

// A file damaged anywhere fails every way of reading it, a lookup of a key
// whose own value is sound included: a read never answers from a file the
// next write would set aside.
TEST(PlistReader, ALookupFailsWhereverTheFileIsDamaged) {
  // {"a": "x", "b": value}: keys in order, `value` the fourth object.
  const auto withB = [](const std::string& value) {
    return BinaryPlist({"\xd2\x01\x02\x03\x04", "Qa", "Qb", "Qx", value});
  };
  const struct {
    const char* what;
    std::string file;
  } rows[] = {
      {"an array holding itself", withB("\xa1\x04")},
      {"a set", withB("\xc1\x03")},
      {"a text with a NUL", withB(std::string("\x52x\0", 3))},
      {"an unpaired surrogate", withB(std::string("\x61\xd8\x00", 3))},
      {"a null", withB(std::string("\x00", 1))},
      {"a nested dictionary naming a key twice", withB("\xd2\x03\x03\x01\x02")},
      {"the root naming a key twice, apart",
       BinaryPlist({"\xd3\x01\x02\x01\x04\x04\x04", "Qa", "Qb", "Qx", "Qy"})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    P::Dictionary dictionary;
    P::PlistRefusal whole;
    ASSERT_FALSE(P::DecodeDictionary(row.file, dictionary, &whole));
    for (const char* key : {"a", "zzz"}) {
      std::optional<P::StoredValue> value;
      P::PlistRefusal lookup;
      EXPECT_FALSE(P::DecodeOneValue(row.file, key, value, &lookup)) << key;
      EXPECT_EQ(whole.Text(), lookup.Text()) << key;
    }
  }
}

namespace {

std::string Real(double value) {
  return Date(value, '\x23');
}

// Other programs' values as a tool shows them, in JSON whatever the host's
// locale: numbers at their widths and edges, reals that JSON has no number
// for, dates at the ends of the years the reader accepts, and texts whose
// controls (C0, DEL, C1) could forge a line or reach a terminal.
TEST(PlistReader, ValuesOfOtherProgramsShowAsJson) {
  const GermanLocale german;
  const struct {
    const char* what;
    std::string object;
    const char* json;
  } rows[] = {
      {"a small integer", "\x10\x2a", "42"},
      {"-1 in 8 bytes", "\x13" + std::string(8, '\xff'), "-1"},
      {"2^64 - 1 in 16 bytes", "\x14" + std::string(8, '\0') + std::string(8, '\xff'),
       "18446744073709551615"},
      {"a real", Real(2.5), "2.5"},
      {"a real needing all its digits", Real(0.1), "0.1"},
      {"-0.0", Real(-0.0), "-0.0"},
      {"a whole real", Real(1e21), "1e+21"},
      {"a whole real in digits", Real(3.0), "3.0"},
      {"NaN", Real(std::nan("")), "\"NaN\""},
      {"an infinity", Real(-HUGE_VAL), "\"-Infinity\""},
      {"true", "\x09", "true"},
      {"a UID", "\x80\x05", "{\"UID\": 5}"},
      {"the first date", Date(-63113904000.0), "\"0001-01-01T00:00:00Z\""},
      {"the last second of 9999", Date(252423993599.0), "\"9999-12-31T23:59:59Z\""},
      {"a leap day before 2001", Date(-26524800.0), "\"2000-02-29T00:00:00Z\""},
      {"a quarter second", Date(0.25), "\"2001-01-01T00:00:00.25Z\""},
      {"ten microseconds, as meant", Date(600000000.00001), "\"2020-01-06T10:40:00.00001Z\""},
      {"a fraction before 2001", Date(-0.5), "\"2000-12-31T23:59:59.5Z\""},
      {"a fraction that rounds up", Date(59.9999999), "\"2001-01-01T00:01:00Z\""},
      {"less than half a microsecond before 2001", Date(-4.9999999999999998e-7),
       "\"2001-01-01T00:00:00Z\""},
      {"a fraction in the year 9999", Date(252423993599.00034), "\"9999-12-31T23:59:59.000336Z\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    P::Dictionary read;
    ASSERT_TRUE(P::DecodeDictionary(OneValue(row.object), read));
    EXPECT_EQ(row.json, P::JsonOf(std::get<P::ForeignValue>(read.at("k"))));
  }
  // Texts: controls, line breaks to other readers, bidirectional controls
  // and bytes that are not UTF-8 escaped; other characters as they are.
  const struct {
    const char* text;
    const char* json;
  } texts[] = {
      {"a\"\\\n\x1b\x7f\xc2\x85\xc3\xa9", "\"a\\\"\\\\\\n\\u001b\\u007f\\u0085\xc3\xa9\""},
      {"a\xe2\x80\xa8"
       "b\xe2\x80\xa9",
       "\"a\\u2028b\\u2029\""},
      {"\xe2\x80\xae\xe2\x81\xa6\xe2\x80\x8f\xd8\x9c", "\"\\u202e\\u2066\\u200f\\u061c\""},
      {"caf\xe9 \x9b\xc2", "\"caf\\ufffd \\ufffd\\ufffd\""},
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "\"\xe2\x82\xac \xf0\x9f\x98\x80\""},
  };
  for (const auto& row : texts) {
    std::string json;
    P::AppendJsonString(row.text, json);
    EXPECT_EQ(row.json, json) << row.text;
  }
}

}  // namespace
