// zqutil: inspect, produce and repair what the toolkit writes: identifiers,
// encrypted containers and settings.
#include <cstdio>
#include <iostream>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"
#include "utils/crypto/KeyPair.h"

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

namespace {

// "zqutil 0.1.0", then the key pair of the library it runs with (the shared
// library may come from another build than the tool), so that an operator can
// tell which build reads a container.
std::string VersionText() {
  namespace Crypto = ZQ::RVL::Utils::Crypto;
  const std::string fingerprint = Crypto::KeyPairFingerprint();
  return std::string("zqutil ") + ZQ_VERSION +
         "\nkey pair: " + (Crypto::KeyPairIsDefault() ? "default" : "custom") + ", fingerprint " +
         (fingerprint.empty() ? "unknown (no SHA-256 in OpenSSL)" : fingerprint);
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  zqutil::RemoveTemporariesOnInterrupt();
  // Named here, so that usage lines (and a man page made from them) say
  // "zqutil", not the path the tool was started from.
  CLI::App app{"zqutil: identifiers, encrypted containers and settings of ZQ::RVL::Utils",
               "zqutil"};
  app.set_version_flag("--version", VersionText());
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
