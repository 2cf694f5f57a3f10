// zqutil guid new [-n N] | guid parse TEXT...
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/zqutil/Cli.h"
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

void ParseGuids(const std::vector<std::string>& texts) {
  int bad = 0;
  for (const std::string& text : texts) {
    const GUID id = GUID::Create(text);
    if (id == GUID{} && !IsNilText(text)) {
      std::fprintf(stderr, "zqutil: not an identifier: \"%s\"\n", text.c_str());
      ++bad;
      continue;
    }
    std::printf("%s\n", id.ToString().c_str());
  }
  if (bad > 0) throw CLI::RuntimeError(kFailed);
}

}  // namespace

void AddGuidCommands(CLI::App& app) {
  CLI::App* guid = app.add_subcommand("guid", "Make and check identifiers");
  guid->require_subcommand(1);

  // Option values live as long as the callbacks that read them.
  auto count = std::make_shared<int>(1);
  CLI::App* fresh = guid->add_subcommand("new", "Print fresh random identifiers, one per line");
  fresh->add_option("-n,--count", *count, "How many (1 to 1000000)")
      ->check(CLI::Range(1, 1000000).description(""))
      ->type_name("COUNT");
  fresh->callback([count] { NewGuids(*count); });

  auto texts = std::make_shared<std::vector<std::string>>();
  CLI::App* parse = guid->add_subcommand(
      "parse", "Print the canonical form of each text; fail naming each text that is not one");
  parse->add_option("TEXT", *texts, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, bare or in braces")
      ->required()
      ->type_name("TEXT");
  parse->callback([texts] { ParseGuids(*texts); });
}

}  // namespace zqutil
