// Files in the store's own layout: a write splices one entry into them, a
// lookup in a marked one reads only its path, and a marked file that breaks
// its promise is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PlistObjectTable.h"

namespace {

namespace P = ZQ::RVL::Utils::Preferences;

// `keys` keys "k<i>"; texts shared by `share` keys each (1: none shared),
// every fifth value bytes and every seventh a non-ASCII text; values padded
// to `width` bytes.
P::Dictionary Domain(int keys, int share, std::size_t width = 4) {
  P::Dictionary dictionary;
  for (int i = 0; i < keys; ++i) {
    std::string value = "v" + std::to_string(i / share);
    value.resize(std::max(width, value.size()), '.');
    if (i % 5 == 4) {
      dictionary["k" + std::to_string(i)] = P::BytesValue{value + std::string(1, '\0')};
    } else {
      dictionary["k" + std::to_string(i)] = P::TextValue{i % 7 == 6 ? value + "\xc3\xa9" : value};
    }
  }
  return dictionary;
}

std::string Packed(const P::Dictionary& dictionary) {
  std::string file;
  P::PlistLayout layout = P::PlistLayout::kOther;
  EXPECT_TRUE(P::EncodeDictionary(dictionary, file, P::PlistFormat::kBinary, nullptr, &layout));
  EXPECT_EQ(P::PlistLayout::kPacked, layout);
  return file;
}

void ExpectHolds(const std::string& file, const P::Dictionary& expected) {
  P::Dictionary back;
  P::PlistLayout layout = P::PlistLayout::kOther;
  P::PlistRefusal why;
  ASSERT_TRUE(P::CheckPlist(file, &why, &layout)) << why.Text();
  EXPECT_EQ(P::PlistLayout::kPacked, layout);
  ASSERT_TRUE(P::DecodeDictionary(file, back));
  ASSERT_EQ(expected.size(), back.size());
  auto b = expected.begin();
  for (auto a = back.begin(); a != back.end(); ++a, ++b) {
    ASSERT_EQ(b->first, a->first);
    ASSERT_TRUE(P::SameValue(a->second, b->second)) << "at " << a->first;
  }
}

// A packed, marked file of `entries` (ASCII texts under 15 bytes) and of
// `orphans` objects (false) that nothing refers to, as another writer might
// leave them: references of 2 bytes, offsets of 3.
std::string PackedByHand(const std::vector<std::pair<std::string, std::string>>& entries,
                         std::uint64_t orphans) {
  const std::uint64_t n = entries.size();
  std::string file = "bplist00";
  const auto put = [&](std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) file.push_back(static_cast<char>(value >> (8 * i)));
  };
  std::vector<std::uint64_t> offsets{file.size()};
  file.push_back(static_cast<char>(0xd0 | n));
  for (std::uint64_t i = 1; i <= 2 * n; ++i) put(i, 2);
  const auto text = [&](const std::string& bytes) {
    offsets.push_back(file.size());
    file.push_back(static_cast<char>(0x50 | bytes.size()));
    file += bytes;
  };
  for (const auto& entry : entries) text(entry.first);
  for (const auto& entry : entries) text(entry.second);
  for (std::uint64_t i = 0; i < orphans; ++i) {
    offsets.push_back(file.size());
    file.push_back('\x08');
  }
  const std::uint64_t table = file.size();
  for (const std::uint64_t offset : offsets) put(offset, 3);
  file += std::string(P::kStoreMark) + '\0' + '\x03' + '\x02';
  put(offsets.size(), 8);
  put(0, 8);
  put(table, 8);
  return file;
}

// Splices: what a splice writes reads back as the edit made to the whole
// dictionary, across the widths of references (256 objects) and offsets
// (64 KiB), with shared and unshared values, keys added first, last and
// between, and chains of splices that would pile up stale objects.
TEST(PackedFile, ASpliceReadsBackAsTheEditMadeWhole) {
  const struct {
    const char* what;
    P::Dictionary domain;
  } rows[] = {
      {"empty", {}},
      {"one key", Domain(1, 1)},
      {"shared texts", Domain(40, 3)},
      {"just below 256 objects", Domain(127, 1)},
      {"offsets near 64 KiB", Domain(60, 1, 1090)},
      {"many keys", Domain(3000, 2)},
  };
  const P::StoredValue wide = P::TextValue{std::string(70000, 'w')};
  const P::StoredValue utf16 = P::TextValue{"\xe2\x82\xac uro"};
  const P::StoredValue data = P::BytesValue{std::string("\0\xff", 2)};
  const P::StoredValue shared = P::TextValue{"v0.."};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string file = Packed(row.domain);
    const std::string middle =
        row.domain.empty() ? "k" : std::next(row.domain.begin(), row.domain.size() / 2)->first;
    const struct {
      std::string key;
      const P::StoredValue* value;
    } edits[] = {{"a", &data},      {"z", &utf16},   {middle + "5", &wide},
                 {middle, &shared}, {middle, &data}, {"k0", nullptr},
                 {middle, nullptr}, {"k1", &utf16},  {"zz", nullptr}};
    for (const auto& edit : edits) {
      SCOPED_TRACE(edit.key);
      P::Dictionary expected = row.domain;
      const bool there = expected.count(edit.key) != 0;
      if (edit.value != nullptr) {
        expected[edit.key] = *edit.value;
      } else {
        expected.erase(edit.key);
      }
      std::string out;
      const P::Splice result = P::SplicePacked(file, P::EntryEdit{edit.key, edit.value}, out);
      if (edit.value == nullptr && !there) {
        EXPECT_EQ(P::Splice::kUnchanged, result);
        continue;
      }
      ASSERT_EQ(P::Splice::kDone, result);
      ExpectHolds(out, expected);
    }
  }
  // A chain of random edits against a model.
  std::mt19937 random(7);
  P::Dictionary model = Domain(200, 4);
  std::string file = Packed(model);
  for (int step = 0; step < 600; ++step) {
    const std::string key = "k" + std::to_string(random() % 260);
    const P::StoredValue value = P::TextValue{"v" + std::to_string(random() % 50)};
    const bool remove = random() % 3 == 0;
    std::string out;
    const P::Splice result =
        P::SplicePacked(file, P::EntryEdit{key, remove ? nullptr : &value}, out);
    if (result == P::Splice::kUnchanged) {
      ASSERT_TRUE(remove && model.count(key) == 0);
      continue;
    }
    ASSERT_EQ(P::Splice::kDone, result) << "step " << step;
    if (remove) {
      model.erase(key);
    } else {
      model[key] = value;
    }
    file = std::move(out);
  }
  ExpectHolds(file, model);
  // The file has not grown with stale objects: it is no larger than a whole
  // rewrite with every value unshared.
  std::size_t payload = 0;
  for (const auto& [key, value] : model) payload += key.size() + P::PayloadOf(value).size() + 10;
  EXPECT_LT(file.size(), payload + 64);
}

// Declines: the splice leaves to the whole encoder what it cannot vouch for.
TEST(PackedFile, ASpliceDeclinesWhatItCannotVouchFor) {
  P::Dictionary atLimit;
  for (std::size_t i = 0; i < P::kMaxPlistEntries; ++i) {
    atLimit["k" + std::to_string(100000 + i)] = P::TextValue{std::to_string(i % 10)};
  }
  P::Dictionary sharedFull;
  // 16 texts of one 1 MiB text and their keys: 10 bytes within the limit.
  const std::string big(P::kMaxContentBytes / 16 - 3, 'b');
  for (int i = 0; i < 16; ++i) sharedFull["k" + std::to_string(i)] = P::TextValue{big};
  std::string foreign;
  ASSERT_TRUE(P::EncodeDictionary({{"x", P::TextValue{"y"}}}, foreign));
  // Two keys and objects no reference needs, up to the object limit: a
  // splice adding a key would pass it (the whole encoder drops them).
  const std::string withOrphans = PackedByHand({{"k1", "a"}, {"k2", "b"}}, P::kMaxPlistObjects - 5);
  const P::StoredValue text = P::TextValue{"x"};
  const P::StoredValue twenty = P::TextValue{std::string(20, 't')};
  const P::StoredValue nul = P::TextValue{std::string("a\0b", 3)};
  const P::StoredValue notUtf8 = P::TextValue{"\xc3("};
  const P::StoredValue other = P::ForeignValue{foreign};
  const std::string atLimitFile = Packed(atLimit);
  const std::string small = Packed(Domain(3, 1));
  const struct {
    const char* what;
    const std::string& file;
    std::string key;
    const P::StoredValue* value;
    bool wholeAccepts;  // what the whole encoder then says
  } rows[] = {
      {"a key beyond the entry limit", atLimitFile, "new", &text, false},
      {"objects beyond the limit", withOrphans, "k3", &text, true},
      {"shared content beyond the limit", Packed(sharedFull), "k99", &twenty, false},
      {"a text holding a NUL", atLimitFile, "k100000", &nul, false},
      {"a text not UTF-8", atLimitFile, "k100000", &notUtf8, false},
      {"a value of another program", small, "k1", &other, true},
      {"a key not plain ASCII, within limits", small, "\xc3\xa9t\xc3\xa9", &text, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string& file = row.file;
    std::string out;
    EXPECT_EQ(P::Splice::kDeclined, P::SplicePacked(file, P::EntryEdit{row.key, row.value}, out));
    P::Dictionary whole;
    ASSERT_TRUE(P::DecodeDictionary(file, whole));
    whole[row.key] = *row.value;
    EXPECT_EQ(row.wholeAccepts, P::EncodeDictionary(whole, out));
  }
}

// The byte where object `index` of `file` starts.
std::size_t ObjectAt(const std::string& file, std::uint64_t index) {
  return static_cast<std::size_t>(P::PlistObjectTable::Open(file)->OffsetOf(index));
}

// Promises: a marked file whose keys are out of order, named twice, or whose
// objects are out of place is refused as damaged by every read of the whole
// file, and the same bytes unmarked are read. A lookup of a marked file
// reads only its path: it declines (and the whole check refuses) when what it
// reads breaks a rule.
TEST(PackedFile, AMarkedFileThatBreaksItsPromiseIsRefused) {
  const P::Dictionary domain = {
      {"k1", P::TextValue{"a"}}, {"k2", P::TextValue{"b"}}, {"k3", P::TextValue{"c"}}};
  const std::string file = Packed(domain);
  ASSERT_TRUE(P::PlistObjectTable::Open(file)->Marked());
  const auto withKeyByte = [&](std::uint64_t key, char byte) {
    std::string broken = file;
    broken[ObjectAt(file, key) + 2] = byte;  // "k<digit>": its digit
    return broken;
  };
  const auto swappedOffsets = [&] {  // objects 4 and 5 (values a, b) trade places
    std::string broken = file;
    const auto table = P::PlistObjectTable::Open(file);
    const std::size_t at = static_cast<std::size_t>(table->ObjectAreaEnd()) + 4;
    std::swap(broken[at], broken[at + 1]);
    return broken;
  };
  const struct {
    const char* what;
    std::string broken;
    bool soundUnmarked;
  } rows[] = {
      {"keys out of order", withKeyByte(1, '9'), true},
      {"a key named twice", withKeyByte(2, '1'), false},
      {"objects out of place", swappedOffsets(), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    P::PlistRefusal why;
    EXPECT_FALSE(P::CheckPlist(row.broken, &why));
    EXPECT_FALSE(why.overLimits);
    std::string unmarked = row.broken;
    unmarked.replace(unmarked.size() - 32, P::kStoreMark.size(), P::kStoreMark.size(), '\0');
    EXPECT_EQ(row.soundUnmarked, P::CheckPlist(unmarked));
    if (row.soundUnmarked) {
      EXPECT_NE(std::string::npos, why.rule.find("mark")) << why.rule;
    }
  }
  // A text on the lookup's path that breaks a rule: the lookup declines.
  std::string broken = file;
  broken[ObjectAt(file, 5) + 1] = '\x80';  // the value of k2
  std::optional<P::StoredValue> value;
  EXPECT_FALSE(P::LookUpMarked(broken, "k2", value));
  EXPECT_FALSE(P::CheckPlist(broken));
  broken = withKeyByte(2, '\x80');  // the middle key, which every search compares
  EXPECT_FALSE(P::LookUpMarked(broken, "k3", value));
  // A key named twice, the second next to the first found.
  EXPECT_FALSE(P::LookUpMarked(withKeyByte(2, '1'), "k1", value));
}

// Objects out of place on a lookup's path: an offset into a key's own bytes
// (where "bQc" reads as "c"), and files cut and joined to another of the
// same size (as a reader sees a file rewritten in place). A lookup declines,
// or answers what one of the two files holds under the key: never another
// key's value, never a piece of one.
TEST(PackedFile, AMarkedLookupFindsObjectsWhereThePackingPutsThem) {
  std::string file =
      Packed({{"a", P::TextValue{"A"}}, {"bQc", P::TextValue{"VB"}}, {"d", P::TextValue{"D"}}});
  file[static_cast<std::size_t>(P::PlistObjectTable::Open(file)->ObjectAreaEnd()) + 2] += 2;
  std::optional<P::StoredValue> value;
  EXPECT_FALSE(P::LookUpMarked(file, "c", value) && value);
  const P::Dictionary a = {
      {"alpha", P::TextValue{"dd"}}, {"beta", P::TextValue{"bbbb"}}, {"gamma", P::BytesValue{"g"}}};
  const P::Dictionary b = {
      {"alpha", P::TextValue{"bbbb"}}, {"beta", P::TextValue{"dd"}}, {"gamma", P::BytesValue{"h"}}};
  const std::string fileA = Packed(a);
  const std::string fileB = Packed(b);
  ASSERT_EQ(fileA.size(), fileB.size());
  for (std::size_t cut = 0; cut <= fileA.size(); ++cut) {
    for (const auto& [first, second] : {std::pair(&fileA, &fileB), std::pair(&fileB, &fileA)}) {
      const std::string torn = first->substr(0, cut) + second->substr(cut);
      for (const auto& [key, valueA] : a) {
        if (!P::LookUpMarked(torn, key, value) || !value) continue;
        EXPECT_TRUE(P::SameValue(*value, valueA) || P::SameValue(*value, b.at(key)))
            << "cut at " << cut << ", key " << key;
      }
    }
  }
}

// Lookups of a marked file answer as the whole check does, for every key and
// for keys before, between and after them.
TEST(PackedFile, AMarkedLookupAnswersAsTheWholeCheck) {
  for (const int keys : {0, 1, 2, 33, 1000}) {
    SCOPED_TRACE(keys);
    const P::Dictionary domain = Domain(keys, 3);
    const std::string file = Packed(domain);
    std::vector<std::string> asked = {"", "a", "k", "zz"};
    for (const auto& entry : domain) {
      asked.push_back(entry.first);
      asked.push_back(entry.first + "0");
    }
    for (const std::string& key : asked) {
      std::optional<P::StoredValue> marked;
      std::optional<P::StoredValue> whole;
      ASSERT_TRUE(P::LookUpMarked(file, key, marked)) << key;
      ASSERT_TRUE(P::DecodeOneValue(file, key, whole)) << key;
      ASSERT_EQ(whole.has_value(), marked.has_value()) << key;
      if (whole) {
        EXPECT_TRUE(P::SameValue(*whole, *marked)) << key;
      }
    }
  }
}

}  // namespace
