// zqutil: inspect, produce and repair what the toolkit writes: identifiers,
// encrypted containers and settings.
#include <cstdio>
#include <iostream>

#include "tools/zqutil/Cli.h"

namespace zqutil {

void Fail(const std::string& message) {
  std::fprintf(stderr, "zqutil: %s\n", message.c_str());
  throw CLI::RuntimeError(kFailed);
}

void UsageError(const std::string& message) {
  std::fprintf(stderr, "zqutil: %s\n", message.c_str());
  throw CLI::RuntimeError(kUsage);
}

}  // namespace zqutil

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  CLI::App app{"zqutil: identifiers, encrypted containers and settings of ZQ::RVL::Utils"};
  app.set_version_flag("--version", std::string("zqutil ") + ZQ_VERSION);
  app.require_subcommand(1);
  zqutil::AddGuidCommands(app);
  zqutil::AddCryptCommands(app);
  zqutil::AddPrefsCommands(app);
  zqutil::AddDemoCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& error) {
    return error.get_exit_code();
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : zqutil::kUsage;
  }
  return 0;
}
