// Where the preferences store keeps each dictionary on disk:
//   current user:  ${XDG_CONFIG_HOME:-$HOME/.config}/zq/preferences/
//   all users:     /var/lib/zq/preferences/
// with any-host settings in <domain>.plist and this-host settings in
// ByHost/<domain>.<host id>.plist. ZQ_PREFERENCES_ROOT=/dir moves the whole
// store (current user under /dir/user, all users under /dir/system) and
// ZQ_HOST_ID replaces the host id. See doc/preferences-layout.md. Private to the
// store.
//
// The variables are read with secure_getenv: a set-uid, set-gid or
// capability-raised process ignores them all (its store is in the default
// places and its host id the hashed machine id).
//
// Thread-safety: the functions may be called from any thread; they read the
// environment on every call, so a change of it takes effect at the next call
// (the caller must not change the environment while another thread calls).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

enum class UserScope { kCurrentUser, kAnyUser };
enum class HostScope { kCurrentHost, kAnyHost };

// One dictionary of the store: a domain in one user scope and one host scope.
struct Scope {
  UserScope user;
  HostScope host;
};

// The longest domain the store accepts, so that the names derived from its
// file name (".lock", ".tmp-XXXXXX", ".corrupt-<time>") fit in 255 bytes.
constexpr std::size_t kMaxDomainLength = 150;

// Where the dictionary of one domain and scope lives, and the modes its
// folders and files get.
struct FileLocation {
  std::string folder;    // absolute, without a trailing '/'
  std::string fileName;  // within `folder`
  mode_t folderMode;
  mode_t fileMode;

  std::string Path() const { return folder + "/" + fileName; }
};

// Returns true when `domain` can name a file of the store: not empty, not "."
// or "..", no '/' or NUL, at most kMaxDomainLength bytes.
bool IsStorableDomain(std::string_view domain);

// Finds the file of `domain` in `scope`. Returns false, with `out` unchanged,
// when the domain is not storable, the store's folder cannot be determined
// (ZQ_PREFERENCES_ROOT set but not an absolute path, no home folder) or the host id is not
// usable (this-host scope only); `why`, when given, then says which in words.
bool LocateDomainFile(std::string_view domain, Scope scope, FileLocation& out,
                      std::string* why = nullptr);

// Returns this machine's host id: ZQ_HOST_ID when it is set (1 to 64 of
// [A-Za-z0-9_-]; an empty result when it holds anything else), otherwise 32 hex
// characters of a SHA-256 of /etc/machine-id (or /var/lib/dbus/machine-id, or
// the host name) with a fixed string of ours, so that the machine id itself
// never appears on disk. Empty when no source is available.
std::string HostId();

}  // namespace ZQ::RVL::Utils::Preferences
