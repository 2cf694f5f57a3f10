// zqutil: inspect, produce and repair what the toolkit writes: identifiers,
// encrypted containers and settings.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"
#include "tools/zqutil/Progress.h"
#include "utils/config/PreferenceTransfer.h"
#include "utils/crypto/KeyPair.h"
#include "utils/file/FileStream.h"

namespace zqutil {

void Report(const std::string& message) {
  EndProgressLine();
  // JsonString's escaping, without its quotes and with the quotes and
  // backslashes of the message as they are.
  const std::string json = ZQ::RVL::Utils::JsonString(message);
  std::string shown;
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    if (json[i] == '\\' && (json[i + 1] == '"' || json[i + 1] == '\\')) ++i;
    shown += json[i];
  }
  std::fprintf(stderr, "zqutil: %s\n", shown.c_str());
}

std::string Quoted(std::string_view text) {
  return ZQ::RVL::Utils::JsonString(text);
}

std::string Shown(std::string_view text) {
  const bool plain =
      !text.empty() && text.front() != '"' && std::all_of(text.begin(), text.end(), [](char c) {
        return c > ' ' && c < 0x7f && c != '\\' && c != '=';
      });
  return plain ? std::string(text) : Quoted(text);
}

std::int64_t ParseDecimal(const std::string& option, const std::string& text, std::int64_t least,
                          std::int64_t most) {
  const bool plus = text.size() > 1 && text[0] == '+' && text[1] != '-';
  const char* first = text.data() + (plus ? 1 : 0);
  const char* last = text.data() + text.size();
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (end != last || (error != std::errc() && error != std::errc::result_out_of_range)) {
    UsageError(option + " takes a decimal number, not " + Quoted(text));
  }
  if (error != std::errc() || value < least || value > most) {
    UsageError(option + " takes a number from " + std::to_string(least) + " to " +
               std::to_string(most) + ": " + Quoted(text) + " is out of range");
  }
  return value;
}

void Fail(const std::string& message) {
  Report(message);
  throw CLI::RuntimeError(kFailed);
}

void UsageError(const std::string& message) {
  Report(message);
  throw CLI::RuntimeError(kUsage);
}

}  // namespace zqutil

namespace {

// "zqutil 0.1.0", then the key pair of the library it runs with (the shared
// library may come from another build than the tool), so that an operator can
// tell which build reads a container.
std::string VersionText() {
  namespace Crypto = ZQ::RVL::Utils::Crypto;
  return std::string("zqutil ") + ZQ_VERSION +
         "\nkey pair: " + (Crypto::KeyPairIsDefault() ? "default" : "custom") + ", fingerprint " +
         Crypto::KeyPairFingerprint();
}

// Writes out what stdout still buffers: a command succeeds only when all it
// printed arrived (stdout on a full disk, a closed pipe). Returns `code`, or
// kFailed with the reason on stderr when a write to stdout failed.
int FinishStandardOutput(int code, ZQ::RVL::Utils::internal::FileStreamBuf& out) {
  const bool streamFailed = !out.Flush();
  int error = out.Error();
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) error = error != 0 ? error : errno;
  if ((!streamFailed && error == 0) || code != 0) return code;
  zqutil::Report(std::string("cannot write stdout: ") +
                 (error != 0 ? std::strerror(error) : "the write failed"));
  return zqutil::kFailed;
}

// The word a command line gives where a command wants a subcommand and none
// matches ("zqutil bogus", "zqutil prefs bogus"): the deepest command given
// that wants one, got none and was left a word. Empty when there is none.
std::string UnknownCommand(const CLI::App& app) {
  const CLI::App* command = &app;
  for (;;) {
    const auto given = command->get_subcommands();
    if (given.empty()) break;
    command = given.front();
  }
  if (command->get_require_subcommand_min() == 0) return {};
  const std::vector<std::string> left = command->remaining();
  if (left.empty() || left.front().empty() || left.front()[0] == '-') return {};
  return left.front();
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // std::cout (CLI11's help and version, the tool's text) through the file
  // layer, so that a failed write keeps its reason.
  ZQ::RVL::Utils::internal::FileStreamBuf out(STDOUT_FILENO, 4096);
  std::cout.rdbuf(&out);
  zqutil::RemoveTemporariesOnInterrupt();
  // Named here, so that usage lines (and a man page made from them) say
  // "zqutil", not the path the tool was started from.
  CLI::App app{"zqutil: identifiers, encrypted containers and settings of ZQ::RVL::Utils",
               "zqutil"};
  // Made only when asked for: the library's first OpenSSL call fills free
  // standard descriptors, and a closed stdin must still read as closed.
  app.set_version_flag("--version", std::function<std::string()>(&VersionText));
  app.require_subcommand(1);
  // Every refusal of the command line as the tool's own: "zqutil: ...".
  // CLI11 prints what this returns; the report says it the tool's one way.
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    zqutil::Report(error.what());
    return std::string("Run with --help for more information.\n");
  });
  zqutil::AddGuidCommands(app);
  zqutil::AddCryptCommands(app);
  zqutil::AddPrefsCommands(app);
  zqutil::AddDemoCommand(app);
  zqutil::AddCompletionCommand(app);
  int code = 0;
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& error) {
    code = error.get_exit_code();
  } catch (const CLI::ParseError& error) {
    if (const std::string word = UnknownCommand(app); !word.empty()) {
      zqutil::Report("unknown command '" + word + "'");
      std::fprintf(stderr, "Run with --help for more information.\n");
      code = zqutil::kUsage;
    } else {
      code = app.exit(error) == 0 ? 0 : zqutil::kUsage;
    }
  } catch (const std::bad_alloc&) {
    // No input may end the tool by an exception: the output's temporary file
    // is gone by now (unwinding), and the reason is said.
    zqutil::Report("out of memory");
    code = zqutil::kFailed;
  } catch (const std::exception& error) {
    zqutil::Report(error.what());
    code = zqutil::kFailed;
  }
  const int result = FinishStandardOutput(code, out);
  std::cout.rdbuf(nullptr);
  return result;
}
