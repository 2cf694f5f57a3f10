#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"

using ZQ::RVL::Utils::Config;
namespace fs = std::filesystem;

namespace {

// The bytes GetData handed over, owned as the contract says: freed with delete[].
struct Fetched {
  bool ok = false;
  std::unique_ptr<unsigned char[]> data;
  std::uint32_t length = 0;

  std::string Bytes() const { return std::string(reinterpret_cast<char*>(data.get()), length); }
};

Fetched FetchData(const Config& config, const std::string& key) {
  unsigned char* data = nullptr;
  Fetched result;
  result.ok = config.GetData(key, data, result.length);
  result.data.reset(data);
  return result;
}

void StoreBytes(const Config& config, const std::string& key, const std::string& bytes) {
  config.SetData(key, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()));
}

class ConfigTest : public zqtest::PreferencesTest {};

}  // namespace

TEST_F(ConfigTest, DomainNameFollowsCompanyAndApplication) {
  struct Case {
    std::string company, application, domain, why;
  };
  const std::vector<Case> cases = {
      {"Acme Audio", "Tone Box", "com.acmeaudio.Tone Box", "company folded, application kept"},
      {"ACME  AUDIO", "Tone Box", "com.acmeaudio.Tone Box", "case and spaces of the company"},
      {"", "App", "com..App", "empty company"},
      {"Acme\tAudio", "App", "com.acme\taudio.App", "tabs are not spaces"},
      {"Acme", "", "com.acme.", "empty application"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Config(1, c.application, c.company).SetString("k", "v");
    EXPECT_TRUE(fs::exists(UserFile(c.domain)));
  }
}

TEST_F(ConfigTest, CompanySpellingsShareADomainButApplicationCaseDoesNot) {
  Config(1, "Tone Box", "Acme Audio").SetString("k", "shared");
  std::string value;
  EXPECT_TRUE(Config(1, "Tone Box", "acmeaudio").GetString("k", value));
  EXPECT_EQ("shared", value);
  EXPECT_FALSE(Config(1, "tone box", "Acme Audio").GetString("k", value));
}

TEST_F(ConfigTest, DefaultModeIsAllUsersThisMachine) {
  Config(std::string("App"), std::string("Acme")).SetString("k", "v");
  EXPECT_TRUE(fs::exists(SystemHostFile("com.acme.App")));
  std::string value;
  EXPECT_TRUE(Config(0, "App", "Acme").GetString("k", value));
  EXPECT_FALSE(Config(1, "App", "Acme").GetString("k", value));
}

TEST_F(ConfigTest, IntegersRoundTripAsDecimalText) {
  const Config config(1, "App", "Acme");
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {INT32_MIN, "-2147483648"}, {INT32_MIN + 1, "-2147483647"}, {-1, "-1"}, {0, "0"}, {7, "7"},
      {INT32_MAX, "2147483647"},
  };
  for (const auto& [number, text] : cases) config.SetValue("n" + text, number);
  for (const auto& [number, text] : cases) {
    SCOPED_TRACE(text);
    std::int32_t back = 12345;
    EXPECT_TRUE(config.GetValue("n" + text, back));
    EXPECT_EQ(number, back);
    std::string stored;
    EXPECT_TRUE(config.GetString("n" + text, stored));
    EXPECT_EQ(text, stored);
  }
}

TEST_F(ConfigTest, GetValueReadsTextLikeStreamExtraction) {
  struct Case {
    std::string text;
    std::int32_t expected;
    const char* why;
  };
  constexpr std::int32_t kUntouched = 77;
  const std::vector<Case> cases = {
      {"12abc", 12, "digits then letters"},
      {"abc", 0, "letters only"},
      {"-", 0, "a sign alone"},
      {"", kUntouched, "empty text leaves the value"},
      {"   ", kUntouched, "blank text leaves the value"},
      {" \t42", 42, "leading blanks skipped"},
      {"+7", 7, "plus sign"},
      {"-0012", -12, "leading zeros"},
      {"99999999999", INT32_MAX, "above the range"},
      {"-99999999999", INT32_MIN, "below the range"},
      {"0x1F", 0, "no hexadecimal"},
      {"1,000", 1, "no digit grouping"},
  };
  const Config config(1, "App", "Acme");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    config.SetString("t" + std::to_string(i), cases[i].text);
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].why);
    std::int32_t value = kUntouched;
    EXPECT_TRUE(config.GetValue("t" + std::to_string(i), value));
    EXPECT_EQ(cases[i].expected, value);
  }
}

TEST_F(ConfigTest, TextsUpTo511CharactersReadBack) {
  const Config config(1, "App", "Acme");
  const std::string fits(511, 'x');
  const std::string tooLong(512, '7');
  config.SetString("fits", fits);
  config.SetString("long", tooLong);

  std::string value;
  EXPECT_TRUE(config.GetString("fits", value));
  EXPECT_EQ(fits, value);

  value = "before";
  std::int32_t number = 5;
  EXPECT_FALSE(config.GetString("long", value));
  EXPECT_FALSE(config.GetValue("long", number));
  EXPECT_EQ("before", value);
  EXPECT_EQ(5, number);
  // It was stored all the same.
  const std::vector<std::string> keys = config.GetKeys();
  EXPECT_EQ((std::vector<std::string>{"fits", "long"}), keys);
}

TEST_F(ConfigTest, StringAliasesBehaveLikeGetString) {
  const Config config(1, "App", "Acme");
  config.SetString("text", "hello");
  config.SetString("long", std::string(600, 'a'));
  StoreBytes(config, "bytes", "\x01\x02");
  using Getter = bool (Config::*)(const std::string&, std::string&) const;
  for (Getter get : {&Config::GetString, &Config::GetString32, &Config::GetString64}) {
    for (const char* key : {"text", "long", "bytes", "missing"}) {
      SCOPED_TRACE(key);
      std::string expected = "unchanged", actual = "unchanged";
      const bool expectedOk = config.GetString(key, expected);
      EXPECT_EQ(expectedOk, (config.*get)(key, actual));
      EXPECT_EQ(expected, actual);
    }
  }
}

TEST_F(ConfigTest, DataRoundTripsIntoANewCallerOwnedArray) {
  const Config config(1, "App", "Acme");
  for (std::size_t n : {1u, 16u, 1000u, 100000u}) {
    SCOPED_TRACE(n);
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + n);
    StoreBytes(config, "blob", bytes);
    const Fetched back = FetchData(config, "blob");
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(n, back.length);
    EXPECT_EQ(bytes, back.Bytes());
  }
}

TEST_F(ConfigTest, EmptyOrNullDataKeepsTheEarlierValue) {
  const Config config(1, "App", "Acme");
  StoreBytes(config, "blob", "keep");
  const unsigned char some[1] = {9};
  config.SetData("blob", some, 0);
  config.SetData("blob", nullptr, 1);
  const Fetched back = FetchData(config, "blob");
  ASSERT_TRUE(back.ok);
  EXPECT_EQ("keep", back.Bytes());

  config.SetData("never", nullptr, 0);
  EXPECT_EQ(std::vector<std::string>{"blob"}, config.GetKeys());
}

TEST_F(ConfigTest, ReadsOfTheOtherKindFail) {
  const Config config(1, "App", "Acme");
  config.SetString("text", "42");
  StoreBytes(config, "bytes", "42");

  unsigned char* data = reinterpret_cast<unsigned char*>(&data);  // must stay as it is
  std::uint32_t length = 99;
  EXPECT_FALSE(config.GetData("text", data, length));
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&data), data);
  EXPECT_EQ(99u, length);

  std::string value = "unchanged";
  std::int32_t number = -3;
  EXPECT_FALSE(config.GetString("bytes", value));
  EXPECT_FALSE(config.GetValue("bytes", number));
  EXPECT_EQ("unchanged", value);
  EXPECT_EQ(-3, number);
}

TEST_F(ConfigTest, TextsEndAtTheirFirstNul) {
  const Config config(1, "App", "Acme");
  config.SetString(std::string("ke\0y", 4), std::string("va\0lue", 6));
  std::string value;
  EXPECT_TRUE(config.GetString("ke", value));
  EXPECT_EQ("va", value);
  EXPECT_EQ(std::vector<std::string>{"ke"}, config.GetKeys());
}

TEST_F(ConfigTest, NonAsciiTextsStoreAndReadNothing) {
  struct Case {
    std::string company, application, key, why;
  };
  const std::string e = "\xc3\xa9";  // UTF-8 e-acute
  const std::vector<Case> cases = {
      {"Acm" + e, "App", "k", "company"},
      {"Acme", "Ap" + e, "k", "application"},
      {"Acme", "App", "k" + e, "key"},
      {"Acme", "App", "k\x80", "key with a single high byte"},
  };
  const Config plain(1, "App", "Acme");
  plain.SetString("k", "old");
  plain.SetString("k" + e, "v");  // a non-ASCII value
  plain.SetString("x", "v" + e);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Config config(1, c.application, c.company);
    config.SetString(c.key, "v");
    config.SetValue(c.key, 1);
    StoreBytes(config, c.key, "x");
    std::string value = "unchanged";
    EXPECT_FALSE(config.GetString(c.key, value));
    EXPECT_FALSE(FetchData(config, c.key).ok);
    EXPECT_EQ("unchanged", value);
  }
  plain.Delete("k" + e);  // must not be taken for "k"
  // Only what was written with ASCII texts reached the store.
  std::string value;
  EXPECT_TRUE(plain.GetString("k", value));
  EXPECT_EQ("old", value);
  EXPECT_EQ(std::vector<std::string>{"k"}, plain.GetKeys());
  EXPECT_EQ(std::vector<std::string>{"com.acme.App.plist"}, DataFiles(dir_.Path() / "user"));
}
