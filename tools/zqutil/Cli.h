// Shared plumbing of the zqutil commands: how a command reports a failure.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace zqutil {

// Exit codes: 0 success, 1 the operation failed, 2 usage.
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Ends the command: prints "zqutil: <message>" to stderr and exits with
// kFailed (through CLI11, so destructors run and temporary files go away).
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
