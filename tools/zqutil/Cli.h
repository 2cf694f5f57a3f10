// Shared plumbing of the zqutil commands: how a command reports a failure.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace zqutil {

// Exit codes: 0 success, 1 the operation failed, 2 usage.
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Prints "zqutil: <message>" on a line of its own on stderr, the one way the
// tool says anything there: a progress bar's line is ended first, and the
// characters JsonString escapes (controls, line separators, bidirectional
// controls, bytes that are not UTF-8) are shown escaped, so that no name or
// text a message repeats can forge a line or reach the terminal as a control.
void Report(const std::string& message);

// `text` (a key, a value, a line of input) as a message quotes it: in double
// quotes, escaped as JsonString escapes it.
std::string Quoted(std::string_view text);

// `text` (a key, a domain, a path) as a line of output shows it: as it is
// when it is plain printable ASCII without "=", "\\" or a leading quote, so
// the common case reads naturally, else Quoted.
std::string Shown(std::string_view text);

// Reads the number an option gives (`option` names it in the refusal) as
// decimal digits with an optional sign, from `least` to `most`: "010" is
// ten; "0x10", " 1", "1e3", "+-1" and "" are usage errors, as is a number out
// of the range.
std::int64_t ParseDecimal(const std::string& option, const std::string& text, std::int64_t least,
                          std::int64_t most);

// Ends the command: reports `message` and exits with kFailed (through
// CLI11, so destructors run and temporary files go away).
[[noreturn]] void Fail(const std::string& message);

// Ends the command with a usage error (exit code kUsage).
[[noreturn]] void UsageError(const std::string& message);

void AddGuidCommands(CLI::App& app);
void AddCryptCommands(CLI::App& app);
void AddPrefsCommands(CLI::App& app);
void AddDemoCommand(CLI::App& app);
// `zqutil completion bash`: the bash completion script, from the options above.
void AddCompletionCommand(CLI::App& app);

}  // namespace zqutil
