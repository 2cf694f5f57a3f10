// The parser checked against an implementation we did not write: Python's uuid
// module. Python is more lenient (it drops every hyphen and brace and lets
// int() read the rest), so the check runs one way: every text we accept,
// Python accepts with the same value; every text Python rejects, we reject.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/guid/GuidTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// Valid texts in every accepted form, and mutants of them: a character
// deleted, inserted or replaced, a prefix or suffix, the separators removed.
std::vector<std::string> Texts() {
  std::mt19937 rng(2024);
  const std::string alphabet = "0123456789abcdefABCDEF-{} +_x:g\t\xff";
  const auto pickChar = [&] { return alphabet[rng() % alphabet.size()]; };
  const std::string prefixes[] = {"0x", "+", " ", "urn:uuid:", "{", "}"};
  std::vector<std::string> texts;
  for (int i = 0; i < 60; ++i) {
    const std::string text = zqtest::RandomGuid(rng).ToString();
    std::string upper = text, mixed = text, bare = text;
    for (std::size_t k = 0; k < text.size(); ++k) {
      upper[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[k])));
      if (rng() % 2) mixed[k] = upper[k];
    }
    bare.erase(std::remove(bare.begin(), bare.end(), '-'), bare.end());
    std::string deleted = text, inserted = text, replaced = text;
    deleted.erase(rng() % text.size(), 1);
    inserted.insert(rng() % (text.size() + 1), 1, pickChar());
    replaced[rng() % text.size()] = pickChar();
    const std::string& prefix = prefixes[rng() % std::size(prefixes)];
    texts.insert(texts.end(), {text, upper, mixed, "{" + mixed + "}", bare, deleted, inserted,
                               replaced, prefix + text, text + prefix});
  }
  return texts;
}

bool PythonUuidWorks() {
  return std::system("python3 -c 'import uuid' >/dev/null 2>&1") == 0;
}

}  // namespace

TEST(GUIDParsePython, AgreesWithPythonUuid) {
  if (!PythonUuidWorks()) GTEST_SKIP() << "python3 with its uuid module is not available";
  const char* source = std::getenv("ZQ_SOURCE_DIR");
  ASSERT_NE(nullptr, source) << "ZQ_SOURCE_DIR must name the source tree";
  const std::vector<std::string> texts = Texts();
  zqtest::TempDir dir;
  {
    std::ofstream in(dir.File("in"));
    for (const std::string& text : texts) in << Hex(text) << '\n';
  }
  const std::string command = "python3 '" + std::string(source) + "/tests/guid/uuid_check.py' < '" +
                              dir.File("in") + "' > '" + dir.File("out") + "'";
  ASSERT_EQ(0, std::system(command.c_str()));
  std::ifstream out(dir.File("out"));
  int accepted = 0, rejected = 0;
  for (const std::string& text : texts) {
    std::string python;
    ASSERT_TRUE(std::getline(out, python)) << "python3 answered fewer lines than asked";
    const GUID ours = GUID::Create(text);
    if (ours == GUID{}) {
      ++rejected;
    } else {
      ++accepted;
      EXPECT_EQ(python, ours.ToString()) << "text \"" << text << "\"";
    }
  }
  // Both outcomes must occur often, or the check above proved little.
  EXPECT_GE(accepted, 240);
  EXPECT_GE(rejected, 240);
}
