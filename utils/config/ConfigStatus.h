// ZQ::RVL::Utils::ConfigStatus: why an operation of the settings store did
// not do what was asked (Config.h, PreferenceTransfer.h). Each call that takes
// one fills the caller's own object: there is no shared "last error", so any
// thread may use its own at once.
//
// Thread-safety: a ConfigStatus is a value; one thread at a time per object.
#pragma once

#include <cstdint>
#include <string>

#include "utils/Export.h"

namespace ZQ::RVL::Utils {

// The reasons a store operation fails. The set is closed: a new reason is a
// new release.
enum class ConfigError : std::uint8_t {
  kNone = 0,      // the operation did what was asked
  kNotFound,      // a read: no value under the key (or no file for the domain)
  kWrongKind,     // a read: the value is of another kind (text, bytes, another
                  // program's number or date), or a text the reader cannot
                  // take (not ASCII, 512 characters or more)
  kBadArgument,   // a name, key or value that is not ASCII; no bytes to store
  kNoValueScope,  // the mode has no value scope (modes other than 0 and 1)
  kNoLocation,    // the store has no place: no home folder,
                  // ZQ_PREFERENCES_ROOT not an absolute path, ZQ_HOST_ID bad
  kLockTimeout,   // gave up waiting for the domain's lock: no writer made
                  // progress for 5 seconds (a stopped, hung or hostile
                  // holder), or 2 minutes passed while the files kept
                  // changing; the detail says which
  kPermission,    // the system refused access (EACCES, EPERM, a read-only
                  // file system): another user's store, all users' as a user
  kNoSpace,       // the disk or the user's quota is full
  kOverLimits,    // the write would make the domain's file exceed the
                  // store's limits, or its file is beyond them
  kDamaged,       // the domain's file is not one the store reads (the next
                  // write keeps it aside under an extra name)
  kNotAFile,      // a FIFO, device, socket, folder or foreign link sits where
                  // a file of the store belongs
  kSystem,        // another failure of the system (SystemError() says which)
};

class ZQ_UTILS_API ConfigStatus {
 public:
  // Builds the status of an operation that did what was asked.
  ConfigStatus() = default;
  // Builds a failure: `error`, the errno behind it (0 when none), the file it
  // concerns (empty when none) and, for kDamaged and kOverLimits, the rule
  // broken and where (a key path or a byte offset).
  ConfigStatus(ConfigError error, int systemError, std::string path, std::string detail = {});

  // Returns true when the operation did what was asked.
  bool Ok() const { return error_ == ConfigError::kNone; }
  ConfigError Error() const { return error_; }
  // The errno of the failed system call, 0 when the failure had none.
  int SystemError() const { return systemError_; }
  // The file concerned, empty when none.
  const std::string& Path() const { return path_; }
  // For kDamaged and kOverLimits: the rule broken and where; else empty.
  const std::string& Detail() const { return detail_; }
  // Returns one line for a person, without a final newline: "no value under
  // the key", "permission denied: /var/lib/zq/preferences", "the domain's
  // file is damaged: /x.plist"; for kBadArgument and kNoLocation with a
  // detail, the detail alone ("ZQ_PREFERENCES_ROOT must be an absolute
  // path..."); "ok" for success.
  std::string Message() const;

 private:
  ConfigError error_ = ConfigError::kNone;
  int systemError_ = 0;
  std::string path_;
  std::string detail_;
};

}  // namespace ZQ::RVL::Utils
