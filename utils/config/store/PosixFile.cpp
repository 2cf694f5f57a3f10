#include "utils/config/store/PosixFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "utils/config/store/StoreStatus.h"
#include "utils/file/AtomicFile.h"
#include "utils/file/FileCalls.h"
#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

namespace files = Utils::internal::files;

// The lock file's size while a writer replaces the file, and once it is done.
constexpr off_t kUnfinishedSize = 1;
constexpr off_t kFinishedSize = 2;

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char text[32] = {};
  if (::gmtime_r(&now, &utc) == nullptr ||
      std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) == 0) {
    return "unknown-time";
  }
  return text;
}

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& out,
                         struct stat* after) {
  return Utils::internal::ReadWholeFile(path, {/*followLinks=*/false}, maxSize, out, after);
}

ReadStatus CompareWholeFile(const std::string& path, std::size_t maxSize, std::string_view expected,
                            bool& same) {
  return Utils::internal::CompareWholeFile(path, {/*followLinks=*/false}, maxSize, expected, same);
}

bool MakeFolders(const std::string& folder, mode_t mode) {
  return Utils::internal::MakeFolders(folder, mode, /*takeOwner=*/true);
}

bool FileLock::IsAt(const std::string& path, struct stat& info) const {
  return files::StatAt(AT_FDCWD, path.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 &&
         info.st_dev == device_ && info.st_ino == inode_;
}

bool FileLock::StillAt(const std::string& path) const {
  struct stat info {};
  return IsAt(path, info);
}

ReplacementMark::ReplacementMark(const FileLock& lock) : lock_(lock) {
  // A lock file of another size than a finished mark is emptied first: the
  // mark is then its size alone, whatever was in the file (a host thread's
  // stderr line, written through a standard number the lock file had for an
  // instant while that thread had just freed it). A finished one goes
  // straight to unfinished: each change of the size is a journalled write.
  set_ = (!lock_.unfinished_ || files::Truncate(lock_.fd_.Get(), 0) == 0) &&
         files::Truncate(lock_.fd_.Get(), kUnfinishedSize) == 0;
}

ReplacementMark::~ReplacementMark() {
  if (!set_) return;
  // Not marked finished when this fails: the next writer reads the folder.
  const int result = files::Truncate(lock_.fd_.Get(), kFinishedSize);
  static_cast<void>(result);
}

Patience::Patience(std::string filePath, std::string lockPath)
    : filePath_(std::move(filePath)),
      lockPath_(std::move(lockPath)),
      start_(std::chrono::steady_clock::now()),
      progress_(start_),
      looked_(start_) {}

bool Patience::Seen::operator==(const Seen& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

Patience::Seen Patience::Look(const std::string& path) {
  struct stat info {};
  Seen seen;
  if (files::StatAt(AT_FDCWD, path.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0) return seen;
  seen.device = info.st_dev;
  seen.inode = info.st_ino;
  seen.size = info.st_size;
  seen.changed = info.st_ctim;
  return seen;
}

bool Patience::RunOut() {
  constexpr std::chrono::milliseconds kLookEvery{100};
  const auto now = std::chrono::steady_clock::now();
  if (!seen_) {  // the first wait: what the others' progress is measured from
    seen_ = true;
    looked_ = now;
    file_ = Look(filePath_);
    lock_ = Look(lockPath_);
  } else if (now - looked_ >= kLookEvery) {
    looked_ = now;
    const Seen file = Look(filePath_);
    const Seen lock = Look(lockPath_);
    if (!(file == file_) || !(lock == lock_)) {
      file_ = file;
      lock_ = lock;
      progress_ = now;
    }
  }
  return now - progress_ >= kStuckAfter || now - start_ >= kLongestWait;
}

ConfigStatus Patience::Timeout() const {
  const bool cap = std::chrono::steady_clock::now() - start_ >= kLongestWait;
  return ConfigStatus(
      ConfigError::kLockTimeout, 0, lockPath_,
      cap ? "waited " + std::to_string(kLongestWait.count()) +
                " s in all while the domain's files kept changing"
          : "no writer made progress for " + std::to_string(kStuckAfter.count() / 1000) + " s");
}

FileLock LockExclusive(const std::string& path, Patience& patience, ConfigStatus& why) {
  // Polls: flock has no timed wait, and a library may not use the host's
  // signals to interrupt one.
  constexpr std::chrono::microseconds kFirstPause{100};
  constexpr std::chrono::microseconds kLongestPause{2000};
  std::chrono::microseconds pause = kFirstPause;
  const auto notAFile = [&](const char* detail) {
    why = ConfigStatus(ConfigError::kNotAFile, 0, path, detail);
    return FileLock();
  };
  for (;;) {
    FileLock lock;
    lock.fd_ = FileDescriptor(files::Open(AT_FDCWD, path.c_str(),
                                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                                          kLockFileMode));
    if (!lock.fd_.Valid()) {
      why = LastSystemFailure(path);
      return {};
    }
    struct stat info {};
    if (files::Stat(lock.fd_.Get(), info) != 0) {
      why = LastSystemFailure(path);
      return {};
    }
    // A lock file has one name: another name of someone's file (a hard link)
    // is not ours to change the mode or size of.
    if (!S_ISREG(info.st_mode)) return notAFile("the lock file is not a regular file");
    if (info.st_nlink > 1) return notAFile("the lock file has other names (hard links)");
    // A lock file made by an older writer may let other users open it and
    // hold the lock.
    if ((info.st_mode & 0777) != kLockFileMode && info.st_uid == ::geteuid() &&
        files::ChangeMode(lock.fd_.Get(), kLockFileMode) != 0) {
      why = LastSystemFailure(path);
      return {};
    }
    // Root writing a user's settings makes the lock file the user's, or the
    // user could no longer take the lock of their own settings.
    struct stat folder {};
    if (info.st_uid == 0 && ::geteuid() == 0 &&
        files::StatAt(AT_FDCWD, Utils::internal::ParentOf(path).c_str(), folder, 0) == 0 &&
        folder.st_uid != 0) {
      files::ChangeOwner(lock.fd_.Get(), folder.st_uid, folder.st_gid);  // where it can
    }
    lock.device_ = info.st_dev;
    lock.inode_ = info.st_ino;
    while (files::Lock(lock.fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) {
        why = LastSystemFailure(path);
        return {};
      }
      if (patience.RunOut()) {
        why = patience.Timeout();
        return {};
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestPause);
    }
    if (lock.IsAt(path, info)) {
      lock.unfinished_ = info.st_size != kFinishedSize;
      return lock;
    }
    // Removed or replaced before we got it: lock what is there now.
  }
}

namespace {

// The files this process has looked for strays of (a few per domain), with its
// writes of each since. A writer killed under a lock file that reads finished
// leaves no mark (one of an older version, one whose lock file was removed
// underneath it, one that could not change the lock file), so every
// kLookAgainEvery-th write reads the folder all the same. Never destroyed (a
// caller's static object may write at exit), and only tried (a child made by
// _Fork or clone may find it locked for good): when busy, the folder is read.
struct Looked {
  std::mutex mutex;
  std::unordered_map<std::string, unsigned> files;
};
Utils::internal::ProcessWide<Looked> gLooked;

}  // namespace

void RemoveStrayTemporaries(const std::string& folder, const std::string& fileName,
                            const FileLock& lock) {
  constexpr unsigned kLookAgainEvery = 64;
  Looked& looked = gLooked.Get();
  if (!lock.LeftUnfinished()) {
    const std::unique_lock<std::mutex> hold(looked.mutex, std::try_to_lock);
    if (hold.owns_lock()) {
      const auto [file, added] = looked.files.try_emplace(folder + "/" + fileName, 0);
      if (!added && ++file->second % kLookAgainEvery != 0) return;
    }
  }
  Utils::internal::ListFolder(folder, [&](int folderFd, const char* name) {
    if (Utils::internal::IsTemporaryName(name, fileName))
      Utils::internal::RemoveEntry(folderFd, name);
  });
}

bool PreserveDamagedFile(const std::string& folder, const std::string& fileName) {
  FileDescriptor folderFd;
  if (!Utils::internal::OpenFolder(folder, folderFd)) return false;
  const std::string base = fileName + ".corrupt-" + UtcStamp();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string to = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    const int result =
        Utils::internal::AddNameNoReplace(folderFd.Get(), fileName.c_str(), to.c_str());
    if (result == 0) return true;
    if (result != EEXIST) return false;
  }
  return false;
}

}  // namespace ZQ::RVL::Utils::Preferences
