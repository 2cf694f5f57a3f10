// Shared set-up of the Config tests: every test runs against a store in a
// temporary folder (ZQ_PREFERENCES_ROOT) with a fixed host id (ZQ_HOST_ID), so
// nothing here touches the real preference locations.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

// Both ends of a pipe, closed on destruction; carries 32-bit numbers from a
// child process to its parent.
class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  bool Valid() const { return fds_[0] >= 0; }
  void CloseRead() { Close(fds_[0]); }
  void CloseWrite() { Close(fds_[1]); }
  bool Send(std::uint32_t n) { return ::write(fds_[1], &n, sizeof n) == sizeof n; }
  // Waits for the next number; false at end of file.
  bool Receive(std::uint32_t& n) {
    std::size_t got = 0;
    auto* out = reinterpret_cast<char*>(&n);
    while (got < sizeof n) {
      const ssize_t r = ::read(fds_[0], out + got, sizeof n - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }

 private:
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2];
};

// Starts `body` in a child process and returns its id; the child leaves with
// _exit(0) when `body` returns true, _exit(1) otherwise.
template <typename Body>
pid_t Spawn(Body body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  return pid;
}

// Waits for `pid` and returns its exit status, or 128 + the signal that ended
// it, or -1.
inline int Wait(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
