// The store's binary writer given values of other programs: whatever it
// writes, the store reads back with the same keys and its own values.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "utils/config/store/PlistCodec.h"

namespace {

using ZQ::RVL::Utils::Preferences::DecodeDictionary;
using ZQ::RVL::Utils::Preferences::Dictionary;
using ZQ::RVL::Utils::Preferences::EncodeDictionary;
using ZQ::RVL::Utils::Preferences::ForeignValue;
using ZQ::RVL::Utils::Preferences::TextValue;

// A binary property list of `objects` (1-byte offsets and references).
std::string Plist(const std::string& objects, const std::string& offsets) {
  std::string file = "bplist00" + objects + offsets;
  file += std::string(6, '\0') + '\x01' + '\x01';
  const auto append = [&](std::uint64_t v) {
    for (int i = 7; i >= 0; --i) file.push_back(static_cast<char>(v >> (8 * i) & 0xff));
  };
  append(offsets.size());
  append(0);
  append(8 + objects.size());
  return file;
}

TEST(PlistBinaryWriter, WhatItWritesReadsBack) {
  const struct {
    const char* what;
    std::string original;
  } rows[] = {
      // [ "abc" (ASCII), "abc" (UTF-16) ]
      {"equal texts of two forms", Plist(std::string("\xa2\x01\x02\x53"
                                                     "abc\x63\0a\0b\0c",
                                                     15),
                                         "\x08\x0b\x0f")},
      // [ "" (UTF-16) ]
      {"an empty UTF-16 text", Plist("\xa1\x01\x60", "\x08\x0a")},
      // { "" (UTF-16): 1 }
      {"an empty UTF-16 key", Plist("\xd1\x01\x02\x60\x10\x01", "\x08\x0b\x0c")},
      // [ x, x ]: one text at two indexes of the same offset
      {"one offset twice", Plist("\xa2\x01\x02\x51x", "\x08\x0b\x0b")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Dictionary dictionary;
    dictionary["a"] = ForeignValue{row.original};
    dictionary["b"] = TextValue{"abc"};
    std::string file;
    if (!EncodeDictionary(dictionary, file)) continue;  // a clear refusal is fine
    Dictionary back;
    ASSERT_TRUE(DecodeDictionary(file, back));
    EXPECT_EQ(2u, back.size());
    EXPECT_EQ("abc", std::get<TextValue>(back["b"]).text);
    EXPECT_TRUE(std::holds_alternative<ForeignValue>(back["a"]));
  }
}

}  // namespace
