// The store's own file rules on top of the file layer (utils/file/File.h):
// whole-file reads of settings files (a link or anything but a regular file at
// their path fails the call at once, and is never read through), folder
// creation with exact modes, a bounded exclusive lock on a side file, and the
// clean-up after killed writers. Private to the store.
//
// Thread-safety: every function may be called from any thread; a FileLock
// object is used by one thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "utils/config/ConfigStatus.h"
#include "utils/file/File.h"
#include "utils/file/FileDescriptor.h"

namespace ZQ::RVL::Utils::Preferences {

using Utils::internal::FileDescriptor;

// How long a writer goes on waiting for its turn while the domain's writers
// make no progress: a stopped, hung or hostile holder (flock on the lock file
// by another process of the same user) must not hang every writer of the
// domain, while a queue of writers that each finish in well under a second
// must not make the last of them give up.
constexpr std::chrono::milliseconds kStuckAfter{5000};
// The longest a writer waits in all, however the files change meanwhile
// (a program of the same user that rewrites the file again and again).
constexpr std::chrono::seconds kLongestWait{120};

// A writer's patience with the other writers of one file: it runs out when
// neither the file nor its lock file changed (another writer's new file in
// place, a holder marking its replacement) for kStuckAfter, or after
// kLongestWait in all.
class Patience {
 public:
  Patience(std::string filePath, std::string lockPath);
  // Looks at both files (at most every few milliseconds); a change starts the
  // kStuckAfter wait again. Returns true once patience ran out.
  bool RunOut();
  // The status of a wait that ran out, for `lockPath`: kLockTimeout, whose
  // detail says which limit ended it.
  ConfigStatus Timeout() const;

 private:
  struct Seen {
    bool operator==(const Seen& other) const;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec changed {};
  };
  static Seen Look(const std::string& path);

  std::string filePath_;
  std::string lockPath_;
  // Looked at from the first RunOut on: a writer that never waits never
  // looks.
  bool seen_ = false;
  Seen file_;
  Seen lock_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point progress_;
  std::chrono::steady_clock::time_point looked_;
};

// The mode of every lock file, whatever the umask: only its owner may open
// it, so no other user can take the lock of an all-users file.
constexpr mode_t kLockFileMode = 0600;

using Utils::internal::ReadStatus;

// Reads the whole settings file at `path` into `out`. kMissing when there is
// no file, kTooLarge (nothing read) when it holds more than `maxSize` bytes,
// kError on any other failure, among them a symbolic link or anything but a
// regular file at the path; `out` is only meaningful after kOk.
// With `after`, stores there the file's stat once read (see
// Utils::internal::ReadWholeFile).
ReadStatus ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& out,
                         struct stat* after = nullptr);

// Compares the settings file at `path`, opened as ReadWholeFile opens it,
// with `expected` without reading it whole into memory (see
// Utils::internal::CompareWholeFile): on kOk, `same` says whether it holds
// exactly those bytes.
ReadStatus CompareWholeFile(const std::string& path, std::size_t maxSize, std::string_view expected,
                            bool& same);

// Creates `folder` and every missing folder above it with exactly `mode`
// (whatever the umask), and makes each new entry durable; one made by root in
// a folder of another user is that user's. Existing folders are left as they
// are. Returns true when `folder` exists afterwards.
bool MakeFolders(const std::string& folder, mode_t mode);

// An exclusive flock on a lock file, held as long as the object lives.
class FileLock {
 public:
  FileLock() = default;
  bool Held() const { return fd_.Valid(); }
  // Returns true when the locked file is still the one at `path`: a lock
  // file removed (and perhaps made anew by another writer) while this lock
  // was held no longer keeps other writers out.
  bool StillAt(const std::string& path) const;

  // Returns false only when the holder before this one marked the lock file
  // finished (see ReplacementMark) or left it so. True when it was killed
  // mid-write, and when the lock file carries no mark: made anew, removed or
  // emptied underneath, or never used by this version. A temporary file of a
  // killed writer may then be there.
  bool LeftUnfinished() const { return unfinished_; }

 private:
  friend FileLock LockExclusive(const std::string& path, Patience& patience, ConfigStatus& why);
  friend class ReplacementMark;
  // Stats `path`; true when it is the locked file.
  bool IsAt(const std::string& path, struct stat& info) const;

  FileDescriptor fd_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool unfinished_ = false;
};

// Marks, for as long as it lives, that the holder of `lock` is replacing the
// locked file, and marks it finished at the end: the lock file's size is 1,
// then 2 (no data is written; nothing is made durable). A writer killed
// meanwhile leaves the file unfinished for the next holder
// (FileLock::LeftUnfinished), which then removes its temporary file. A lock
// file that cannot be changed is not marked finished either.
class ReplacementMark {
 public:
  explicit ReplacementMark(const FileLock& lock);
  ~ReplacementMark();
  ReplacementMark(const ReplacementMark&) = delete;
  ReplacementMark& operator=(const ReplacementMark&) = delete;

 private:
  const FileLock& lock_;
  bool set_ = false;
};

// Opens (creating it with kLockFileMode when missing; narrowing an own lock
// file of another mode to it) the lock file at `path` and waits for an
// exclusive flock on it until `patience` runs out, then checks that the
// locked file is still the one at `path` and starts again when it is not.
// Returns a lock that is not Held(), with `why` set, when the path is not a
// regular file (nor a link, which is never followed) or has other names (a
// hard link to someone's file): kNotAFile; cannot be opened: the system's
// reason; patience runs out first: kLockTimeout.
FileLock LockExclusive(const std::string& path, Patience& patience, ConfigStatus& why);

// Removes the temporary files that an atomic replacement left for `fileName`
// in `folder` when its process was killed, if there may be any: `lock` (the
// file's lock, so no temporary file of that name is in use) was left
// unfinished, or this process has not looked for them before (a mark that a
// power failure took back), or not in its last 64 writes of the file (a
// killed writer that set no mark). Otherwise the folder is not read.
void RemoveStrayTemporaries(const std::string& folder, const std::string& fileName,
                            const FileLock& lock);

// Adds the name `<fileName>.corrupt-<UTC time>` (with a "-N" suffix when that
// name is taken) to the file `folder`/`fileName`, so its bytes stay on disk
// after the file is replaced. Never overwrites an existing file. Returns false
// when no such name could be made.
bool PreserveDamagedFile(const std::string& folder, const std::string& fileName);

}  // namespace ZQ::RVL::Utils::Preferences
