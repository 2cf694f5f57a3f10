// zqutil guid new [-n N] | guid parse [--details] [TEXT...]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"
#include "utils/guid/GUID.h"

namespace zqutil {

namespace {

using ZQ::RVL::Utils::GUID;

void NewGuids(int count) {
  for (int i = 0; i < count; ++i) {
    const GUID id = GUID::Create();
    if (id == GUID{}) Fail("no random source could be read (getrandom and /dev/urandom failed)");
    std::printf("%s\n", id.ToString().c_str());
  }
}

// A failed parse gives the nil identifier, so the nil text itself is told
// apart by hand.
bool IsNilText(const std::string& text) {
  static const std::string nil = GUID{}.ToString();
  return text == nil || text == "{" + nil + "}";
}

// "version 4 (random), variant RFC 4122" for a canonical text: the version
// is the first digit of the third group, the variant the top bits of the
// fourth.
std::string Details(const std::string& canonical) {
  const int variant = std::stoi(canonical.substr(19, 1), nullptr, 16);
  if (variant < 8) return "variant NCS (reserved)";
  if (variant >= 0xe) return "variant reserved for the future";
  if (variant >= 0xc) return "variant Microsoft (reserved)";
  static const char* const kVersions[] = {
      "unknown",          "time-based",           "DCE security",    "MD5 name-based", "random",
      "SHA-1 name-based", "reordered time-based", "Unix time-based", "custom"};
  const int version = std::stoi(canonical.substr(14, 1), nullptr, 16);
  return "version " + std::to_string(version) + " (" +
         (version <= 8 ? kVersions[version] : "unknown") + "), variant RFC 4122";
}

// Prints the canonical form of `text` (and its version and variant with
// `details`); false, saying so, when it is not an identifier.
bool ParseOne(const std::string& text, bool details) {
  // The parser reads a C string: a NUL (a line of stdin may hold one) would
  // end the text early.
  const GUID id = text.find('\0') == std::string::npos ? GUID::Create(text) : GUID{};
  if (id == GUID{} && !IsNilText(text)) {
    Report("not an identifier: " + Quoted(text));
    return false;
  }
  const std::string canonical = id.ToString();
  std::printf("%s%s\n", canonical.c_str(), details ? (" " + Details(canonical)).c_str() : "");
  return true;
}

// Texts from the command line, or a line each from stdin when there are none
// or one is "-". A line longer than any identifier's text is refused without
// being kept whole (stdin may never end a line).
void ParseGuids(const std::vector<std::string>& texts, bool details) {
  int bad = 0;
  for (const std::string& text : texts) {
    if (text != "-") {
      bad += ParseOne(text, details) ? 0 : 1;
      continue;
    }
    Input input("-");
    constexpr std::size_t kLongest = 39;  // "{" + 36 + "}", and a CRLF line's CR
    std::string line;
    bool cut = false;
    for (int c = 0; (c = input.Stream().get()) != EOF || !line.empty() || cut;) {
      if (c != EOF && c != '\n') {
        if (line.size() <= kLongest) line += static_cast<char>(c);
        cut = cut || line.size() > kLongest;
        continue;
      }
      if (cut) {
        Report("not an identifier: a line of more than " + std::to_string(kLongest - 1) + " bytes");
        ++bad;
      } else {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // a CRLF line
        bad += ParseOne(line, details) ? 0 : 1;
      }
      line.clear();
      cut = false;
      if (c == EOF) break;
    }
    if (input.Error() != 0) Fail("cannot read stdin: " + std::string(std::strerror(input.Error())));
  }
  if (bad > 0) throw CLI::RuntimeError(kFailed);
}

}  // namespace

void AddGuidCommands(CLI::App& app) {
  CLI::App* guid = app.add_subcommand("guid", "Make and check identifiers");
  guid->require_subcommand(1);

  // Option values live as long as the callbacks that read them.
  auto count = std::make_shared<std::string>("1");
  CLI::App* fresh = guid->add_subcommand("new", "Print fresh random identifiers, one per line");
  fresh->add_option("-n,--count", *count, "How many (1 to 1000000)")->type_name("COUNT");
  fresh->callback(
      [count] { NewGuids(static_cast<int>(ParseDecimal("--count", *count, 1, 1000000))); });

  auto texts = std::make_shared<std::vector<std::string>>();
  auto details = std::make_shared<bool>(false);
  CLI::App* parse = guid->add_subcommand(
      "parse", "Print the canonical form of each text; fail naming each text that is not one");
  parse->add_flag("--details", *details, "Also print each identifier's version and variant");
  parse
      ->add_option("TEXT", *texts,
                   "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, bare or in braces; - or none: a line "
                   "each from stdin")
      ->type_name("TEXT");
  parse->callback([texts, details] {
    ParseGuids(texts->empty() ? std::vector<std::string>{"-"} : *texts, *details);
  });
}

}  // namespace zqutil
