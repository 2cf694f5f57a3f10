// Shared set-up of the Config tests: every test runs against a store in a
// temporary folder (ZQ_PREFERENCES_ROOT) with a fixed host id (ZQ_HOST_ID), so
// nothing here touches the real preference locations.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace zqtest {

// Sets (or, with nullopt, removes) one environment variable for the lifetime
// of the object and restores its old value afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

inline constexpr const char* kTestHostId = "testhost0123";

class PreferencesTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedEnv root_{"ZQ_PREFERENCES_ROOT", dir_.Path().string()};
  ScopedEnv host_{"ZQ_HOST_ID", std::string(kTestHostId)};

  // The files of each dictionary of `domain`.
  std::string UserFile(const std::string& domain) const {
    return (dir_.Path() / "user" / (domain + ".plist")).string();
  }
  std::string SystemFile(const std::string& domain) const {
    return (dir_.Path() / "system" / (domain + ".plist")).string();
  }
  std::string SystemHostFile(const std::string& domain) const {
    return (dir_.Path() / "system" / "ByHost" / (domain + "." + kTestHostId + ".plist")).string();
  }
  std::string UserHostFile(const std::string& domain) const {
    return (dir_.Path() / "user" / "ByHost" / (domain + "." + kTestHostId + ".plist")).string();
  }

  // Names of the entries of `folder`, sorted; empty when it does not exist.
  static std::vector<std::string> Entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // As Entries, without the lock files that every written domain keeps.
  static std::vector<std::string> DataFiles(const std::filesystem::path& folder) {
    std::vector<std::string> names = Entries(folder);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) {
                                 return name.size() > 5 &&
                                        name.compare(name.size() - 5, 5, ".lock") == 0;
                               }),
                names.end());
    return names;
  }
};

// Runs `body` in a child process and returns its exit status (0 when `body`
// returned true). The child leaves with _exit, so no test framework or
// sanitizer teardown runs twice.
template <typename Body>
int RunInChild(Body body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  if (pid < 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zqtest
