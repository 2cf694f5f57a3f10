// The text form, equality, the word order and the hash of GUID values.
#include <gtest/gtest.h>

#include <locale>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tests/guid/GuidTestUtil.h"
#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

// Groups digits in threes with ",", as many national locales do.
class GroupingPunct : public std::numpunct<char> {
 public:
  GroupingPunct() : std::numpunct<char>(1) {}  // one reference: the locale never deletes it

 protected:
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

// Sets a global locale with digit grouping for the life of the object.
class GroupingGlobalLocale {
 public:
  GroupingGlobalLocale() : mPrevious(std::locale::global(std::locale(std::locale(), &Punct()))) {}
  ~GroupingGlobalLocale() { std::locale::global(mPrevious); }

 private:
  // Outlives every locale that refers to it.
  static GroupingPunct& Punct() {
    static GroupingPunct punct;
    return punct;
  }
  std::locale mPrevious;
};

// An identifier with one byte of its 16-byte field image set to 1.
GUID WithByteSet(int index) {
  GUID g{};
  if (index < 4)
    g.data1 = 1u << (8 * index);
  else if (index < 6)
    g.data2 = static_cast<std::uint16_t>(1u << (8 * (index - 4)));
  else if (index < 8)
    g.data3 = static_cast<std::uint16_t>(1u << (8 * (index - 6)));
  else
    g.data4[index - 8] = 1;
  return g;
}

}  // namespace

TEST(GUIDText, PrintsFieldsAsZeroPaddedLowerCaseGroups) {
  const struct {
    GUID value;
    const char* text;
  } cases[] = {
      {GUID{}, "00000000-0000-0000-0000-000000000000"},
      {GUID::Create(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11), "00000001-0002-0003-0405-060708090a0b"},
      {GUID::Create(0x89abcdef, 0x0123, 0xcdef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10),
       "89abcdef-0123-cdef-fedc-ba9876543210"},
      {GUID::Create(0xffffffff, 0xffff, 0xffff, 255, 255, 255, 255, 255, 255, 255, 255),
       "ffffffff-ffff-ffff-ffff-ffffffffffff"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, c.value.ToString());
}

TEST(GUIDText, IgnoresAGlobalLocaleWithDigitGrouping) {
  const GUID g = GUID::Create(0x12345678, 0xabcd, 0x1234, 1, 2, 3, 4, 5, 6, 7, 8);
  const GroupingGlobalLocale grouping;
  std::ostringstream probe;
  probe << 12345678;
  ASSERT_EQ("12,345,678", probe.str()) << "the grouping locale is not in force";
  EXPECT_EQ("12345678-abcd-1234-0102-030405060708", g.ToString());
  std::ostringstream out;
  out << g;
  EXPECT_EQ("12345678-abcd-1234-0102-030405060708", out.str());
}

TEST(GUIDOrder, ComparesTheFourWordsInTurn) {
  const struct {
    GUID smaller, larger;
    const char* why;
  } cases[] = {
      {GUID::Create(0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0), GUID::Create(0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0),
       "data3 before data2"},
      {GUID::Create(0, 0, 0, 9, 0, 0, 1, 0, 0, 0, 0), GUID::Create(0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0),
       "data4[3] over data4[0]"},
      {GUID::Create(1, 0xffff, 0xffff, 255, 255, 255, 255, 255, 255, 255, 255),
       GUID::Create(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), "data1 over everything"},
      {GUID::Create(0, 0, 1, 0, 0, 0, 0, 255, 255, 255, 255),
       GUID::Create(0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0), "the third word over the fourth"},
      {GUID::Create(0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 1), GUID::Create(0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2),
       "data4[7] over data4[4]"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.smaller.Before(c.larger)) << c.why;
    EXPECT_FALSE(c.larger.Before(c.smaller)) << c.why;
    EXPECT_TRUE(c.smaller < c.larger) << c.why;
  }
}

TEST(GUIDOrder, IsAStrictTotalOrderAgreeingWithEqual) {
  std::mt19937 rng(7);
  // Values drawn from a few field choices, so that ties in every word happen.
  const auto pick = [&rng] {
    const auto small = [&rng] { return static_cast<std::uint8_t>(rng() % 2); };
    return GUID::Create(small(), small(), small(), small(), small(), small(), small(), small(),
                        small(), small(), small());
  };
  for (int i = 0; i < 20000; ++i) {
    const GUID a = pick(), b = pick(), c = pick();
    const int holds = int{a.Before(b)} + int{b.Before(a)} + int{a.Equal(b)};
    ASSERT_EQ(1, holds) << a << " " << b;
    ASSERT_EQ(a.Equal(b), a == b);
    ASSERT_NE(a == b, a != b);
    if (a < b && b < c) {
      ASSERT_TRUE(a < c) << a << " " << b << " " << c;
    }
  }
}

TEST(GUIDOrder, OrdersMapIterationByWords) {
  const GUID low = GUID::Create(5, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0);   // text "...-0002-0001-..."
  const GUID high = GUID::Create(5, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0);  // text "...-0001-0002-..."
  const std::map<GUID, int> byId{{high, 2}, {low, 1}, {GUID{}, 0}};
  int expected = 0;
  for (const auto& [id, value] : byId) EXPECT_EQ(expected++, value) << id;
}

TEST(GUIDHash, EveryByteChangesTheHash) {
  const std::hash<GUID> hash;
  std::unordered_map<std::size_t, int> seen{{hash(GUID{}), -1}};
  for (int i = 0; i < 16; ++i) {
    EXPECT_TRUE(seen.emplace(hash(WithByteSet(i)), i).second) << "byte " << i << " collides";
  }
}

TEST(GUIDHash, KeysAnUnorderedMap) {
  std::mt19937 rng(11);
  std::unordered_map<GUID, int> byId;
  std::vector<GUID> ids;
  for (int i = 0; i < 1000; ++i) ids.push_back(zqtest::RandomGuid(rng));
  for (int i = 0; i < 1000; ++i) byId[ids[i]] = i;
  ASSERT_EQ(1000u, byId.size());
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(i, byId.at(GUID::Create(ids[i].ToString())));
}
