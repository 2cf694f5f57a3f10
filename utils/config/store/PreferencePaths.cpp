#include "utils/config/store/PreferencePaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "utils/file/File.h"
#include "utils/file/FileCalls.h"
#include "utils/runtime/ProcessWide.h"
#include "utils/runtime/Sha256.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kSharedFolderMode = 0755;
constexpr mode_t kSharedFileMode = 0644;

constexpr std::size_t kMaxHostIdLength = 64;

// Mixed into the machine id before hashing, so that the host id cannot be
// matched against the machine id or against other programs' hashes of it.
// Changing it moves every this-host dictionary to a new file name.
constexpr std::string_view gcHostIdSalt = "ZQ::RVL::Utils preferences host id v1\n";

// Every variable the store reads goes through here: a set-uid or set-gid
// program (or one with file capabilities) sees none of them, so the caller of
// such a program cannot choose where it reads and writes.
const char* EnvironmentValue(const char* name) {
  return ::secure_getenv(name);
}

std::string Environment(const char* name) {
  const char* value = EnvironmentValue(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool IsAbsolute(const std::string& path) {
  return !path.empty() && path.front() == '/';
}

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (IsAbsolute(home)) return home;
  // The user database is read through files the C library opens: never on a
  // standard number a host left free.
  Utils::internal::files::FillFreeStandardNumbers();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      found->pw_dir == nullptr) {
    return {};
  }
  home = found->pw_dir;
  return IsAbsolute(home) ? home : std::string();
}

// ZQ_PREFERENCES_ROOT, or null when it is unset or empty (`VAR= command`
// clears a variable, as with XDG's).
const char* RootOverride() {
  const char* root = EnvironmentValue("ZQ_PREFERENCES_ROOT");
  return root != nullptr && *root != '\0' ? root : nullptr;
}

// The folder of `user`'s any-host dictionaries, or empty when unknown.
std::string ScopeFolder(UserScope user) {
  if (const char* rootValue = RootOverride()) {
    // A relative root (a path that depends on the working folder) is refused
    // rather than ignored, so that a misconfigured test or demo never
    // reaches the real locations.
    const std::string root = rootValue;
    if (!IsAbsolute(root)) return {};
    return root + (user == UserScope::kCurrentUser ? "/user" : "/system");
  }
  if (user == UserScope::kAnyUser) return "/var/lib/zq/preferences";
  std::string config = Environment("XDG_CONFIG_HOME");
  if (!IsAbsolute(config)) {
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    config = home + "/.config";
  }
  return config + "/zq/preferences";
}

bool IsValidHostId(const std::string& id) {
  if (id.empty() || id.size() > kMaxHostIdLength) return false;
  for (char c : id) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string Trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string FirstLineOf(const char* path) {
  constexpr std::size_t kLimit = 4096;  // a machine id is 33 bytes
  std::string text;
  if (internal::ReadWholeFile(path, {}, kLimit, text) != internal::ReadStatus::kOk) return {};
  return Trimmed(text.substr(0, text.find('\n')));
}

std::string MachineIdentity() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id = FirstLineOf(path);
    if (!id.empty()) return id;
  }
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string HashedMachineId() {
  const std::string identity = MachineIdentity();
  if (identity.empty()) return {};
  const std::string input = std::string(gcHostIdSalt) + identity;
  unsigned char digest[32] = {};
  Utils::internal::Sha256(input.data(), input.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < 16; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

bool IsStorableDomain(std::string_view domain) {
  return !domain.empty() && domain != "." && domain != ".." &&
         domain.find('/') == std::string_view::npos &&
         domain.find('\0') == std::string_view::npos && domain.size() <= kMaxDomainLength;
}

namespace {
Utils::internal::ProcessWide<const std::string> gHashedMachineId;
}  // namespace

std::string HostId() {
  if (const char* override = EnvironmentValue("ZQ_HOST_ID")) {
    const std::string id = override;
    return IsValidHostId(id) ? id : std::string();
  }
  // The machine id does not change while a process runs. Never destroyed: a
  // caller's static object may write settings at exit.
  return gHashedMachineId.Make(&HashedMachineId);
}

bool LocateDomainFile(std::string_view domain, Scope scope, FileLocation& out, std::string* why) {
  const auto fail = [why](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  if (!IsStorableDomain(domain)) {
    return fail("the domain \"" + std::string(domain) +
                "\" cannot be stored (empty, \".\", \"..\", holds \"/\", or over " +
                std::to_string(kMaxDomainLength) + " bytes)");
  }
  std::string folder = ScopeFolder(scope.user);
  if (folder.empty()) {
    if (const char* root = RootOverride()) {
      return fail("ZQ_PREFERENCES_ROOT must be an absolute path, not \"" + std::string(root) +
                  "\"");
    }
    return fail("no home folder is known (HOME, XDG_CONFIG_HOME and the user database)");
  }
  std::string fileName(domain);
  if (scope.host == HostScope::kCurrentHost) {
    const std::string host = HostId();
    if (host.empty()) {
      return fail(EnvironmentValue("ZQ_HOST_ID") != nullptr
                      ? "ZQ_HOST_ID is not 1 to 64 of A-Z a-z 0-9 - _"
                      : "no machine id is known (/etc/machine-id, the host name)");
    }
    folder += "/ByHost";
    fileName += "." + host;
  }
  fileName += ".plist";
  const bool shared = scope.user == UserScope::kAnyUser;
  out = {std::move(folder), std::move(fileName), shared ? kSharedFolderMode : kPrivateFolderMode,
         shared ? kSharedFileMode : kPrivateFileMode};
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
