// Create(text): the accepted forms, every rejection, the NUL rule, and that a
// failed attempt never leaks the fields it read before failing.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/guid/GuidTestUtil.h"
#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

const GUID kSample =
    GUID::Create(0x0123abcd, 0x4567, 0x89ef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10);
const std::string kSampleText = "0123abcd-4567-89ef-fedc-ba9876543210";

struct Case {
  std::string text;
  const char* why;
};

}  // namespace

TEST(GUIDParse, AcceptsBareAndBracedFormsInAnyCase) {
  const Case accepted[] = {
      {kSampleText, "bare, lower case"},
      {"0123ABCD-4567-89EF-FEDC-BA9876543210", "upper case"},
      {"0123aBcD-4567-89Ef-FeDc-bA9876543210", "mixed case"},
      {"{" + kSampleText + "}", "braced"},
      {"{0123ABCD-4567-89EF-FEDC-BA9876543210}", "braced, upper case"},
  };
  for (const Case& c : accepted) EXPECT_EQ(kSample, GUID::Create(c.text)) << c.why;
}

TEST(GUIDParse, RejectsEverythingElseWithNil) {
  // Most of these read several fields before failing, so they also show that
  // a failed attempt discards what it had read.
  const Case rejected[] = {
      {"", "empty"},
      {"0123abcd0-4567-89ef-fedc-ba9876543210", "9-digit first group"},
      {"123abcd-4567-89ef-fedc-ba9876543210", "7-digit first group"},
      {"0123abcd-457-89ef-fedc-ba9876543210", "3-digit second group"},
      {"0123abcd-4567-89ef-fedc-ba987654321", "11-digit last group"},
      {"0123abcd-4567-89ef-fedc-ba98765432100", "13-digit last group: a hit but no full match"},
      {"0123abcd-4567-89ef-ba9876543210", "missing group"},
      {"0123abcd-4567-89ef-fedc", "text ends after the fourth group"},
      {" " + kSampleText, "space before"},
      {kSampleText + " ", "space after"},
      {kSampleText + "\n", "newline after"},
      {"x" + kSampleText, "prefix"},
      {"urn:uuid:" + kSampleText, "URN prefix"},
      {"0123abcd:4567:89ef:fedc:ba9876543210", "colons"},
      {"0123abcd_4567_89ef_fedc_ba9876543210", "underscores"},
      {"0123abcd456789effedcba9876543210", "no separators"},
      {"0123abcd-4567-89effedc-ba9876543210", "one separator missing"},
      {"0123abcd-4567-89ef-fe-dc-ba9876543210", "separator inside the fourth group"},
      {"{" + kSampleText, "opening brace only"},
      {kSampleText + "}", "closing brace only"},
      {"{{" + kSampleText + "}}", "doubled braces"},
      {"(" + kSampleText + ")", "parentheses"},
      {"+123abcd-4567-89ef-fedc-ba9876543210", "sign in the first group"},
      {"0123abcd-+567-89ef-fedc-ba9876543210", "sign in the second group"},
      {"0123abcd--567-89ef-fedc-ba9876543210", "minus sign in the second group"},
      {"0x23abcd-4567-89ef-fedc-ba9876543210", "0x in the first group"},
      {"0123abcd-0x67-89ef-fedc-ba9876543210", "0x in the second group"},
      {"0123abcg-4567-89ef-fedc-ba9876543210", "non-hex letter"},
      {"0123abcd-4567-89ef-fedc-ba98765432\xe1"
       "0",
       "non-ASCII byte"},
  };
  for (const Case& c : rejected) EXPECT_EQ(GUID{}, GUID::Create(c.text)) << c.why;
}

TEST(GUIDParse, StopsAtTheFirstNul) {
  const auto withNul = [](const std::string& before, const std::string& after) {
    return before + std::string(1, '\0') + after;
  };
  EXPECT_EQ(kSample, GUID::Create(withNul(kSampleText, "garbage")));
  EXPECT_EQ(kSample, GUID::Create(withNul("{" + kSampleText + "}", "}")));
  EXPECT_EQ(GUID{}, GUID::Create(withNul("0123abcd-4567", "-89ef-fedc-ba9876543210")));
  EXPECT_EQ(GUID{}, GUID::Create(withNul("", kSampleText)));
}

TEST(GUIDParse, RoundTripsRandomValuesInEveryForm) {
  std::mt19937 rng(4);
  for (int i = 0; i < 1000; ++i) {
    const GUID g = zqtest::RandomGuid(rng);
    std::string upper = g.ToString();
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ASSERT_EQ(g, GUID::Create(g.ToString()));
    ASSERT_EQ(g, GUID::Create(upper)) << upper;
    ASSERT_EQ(g, GUID::Create("{" + g.ToString() + "}"));
  }
}

TEST(GUIDParse, RoundTripsInSeveralThreadsAtOnce) {
  // Parser and formatter keep per-thread state; shared state would mix values.
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([t, &mismatches] {
      std::mt19937 rng(100 + t);
      for (int i = 0; i < 5000; ++i) {
        const GUID g = zqtest::RandomGuid(rng);
        if (GUID::Create("{" + g.ToString() + "}") != g) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}
