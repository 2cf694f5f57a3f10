// GUID::Create on arbitrary text, checked against a plain reference: a regular
// expression for the two accepted forms (8-4-4-4-12 hex digits in any case,
// bare or between braces, the text ending at its first NUL) and the field
// values read group by group with strtoul. A parsed identifier prints back as
// the lower-cased input without braces, and that text parses to it again.
#include <cctype>
#include <cstdlib>
#include <regex>
#include <string>

#include "fuzz/FuzzInput.h"
#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

// Reads `length` hex digits at `at` (the regex has vouched for them).
unsigned long Hex(const std::string& text, std::size_t at, std::size_t length) {
  return std::strtoul(text.substr(at, length).c_str(), nullptr, 16);
}

// The reference parse: true and `out` set when `text` has one of the two forms.
bool ReferenceParse(const std::string& text, GUID& out, std::string& bare) {
  static const std::regex form(
      "(\\{([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})\\})|"
      "([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})");
  std::smatch match;
  if (!std::regex_match(text, match, form)) return false;
  bare = match[2].matched ? match[2].str() : match[3].str();
  std::uint8_t b[8];
  b[0] = static_cast<std::uint8_t>(Hex(bare, 19, 2));
  b[1] = static_cast<std::uint8_t>(Hex(bare, 21, 2));
  for (std::size_t i = 0; i < 6; ++i) b[2 + i] = static_cast<std::uint8_t>(Hex(bare, 24 + 2 * i, 2));
  out = GUID::Create(static_cast<std::uint32_t>(Hex(bare, 0, 8)),
                     static_cast<std::uint16_t>(Hex(bare, 9, 4)),
                     static_cast<std::uint16_t>(Hex(bare, 14, 4)), b[0], b[1], b[2], b[3], b[4],
                     b[5], b[6], b[7]);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zqfuzz::Input input(data, size);
  const std::string text = input.Rest();
  const GUID parsed = GUID::Create(text);

  GUID expected{};
  std::string bare;
  const bool accepted = ReferenceParse(text.substr(0, text.find('\0')), expected, bare);
  if (!accepted) {
    if (parsed != GUID{}) zqfuzz::Fail("accepted a text outside the two forms");
    return 0;
  }
  if (parsed != expected) zqfuzz::Fail("parsed fields differ from the reference");
  for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string printed = parsed.ToString();
  if (printed != bare) zqfuzz::Fail("does not print back to the lower-cased input");
  if (GUID::Create(printed) != parsed || GUID::Create("{" + printed + "}") != parsed) {
    zqfuzz::Fail("the printed text does not parse back to the same identifier");
  }
  return 0;
}
