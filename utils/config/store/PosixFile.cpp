#include "utils/config/store/PosixFile.h"

#include <dirent.h>
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

#include "utils/NoDestructor.h"
#include "utils/file/AtomicFile.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

using Utils::internal::ParentOf;
using Utils::internal::RetryOnInterrupt;
using Utils::internal::SyncFolder;

// The lock file's size while a writer replaces the file, and once it is done.
constexpr off_t kUnfinishedSize = 1;
constexpr off_t kFinishedSize = 2;

// Opens `path` without blocking (a FIFO or a device with nobody at the other
// end would hang a plain open) and without making it the controlling
// terminal.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

using Utils::internal::kTemporaryInfix;
using Utils::internal::kTemporarySuffixLength;

bool IsTemporaryOf(std::string_view name, const std::string& fileName) {
  const std::size_t prefixLength = fileName.size() + kTemporaryInfix.size();
  if (name.size() != prefixLength + kTemporarySuffixLength) return false;
  if (name.substr(0, fileName.size()) != fileName) return false;
  if (name.substr(fileName.size(), kTemporaryInfix.size()) != kTemporaryInfix) return false;
  for (char c : name.substr(prefixLength)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

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

// Gives `from` the extra name `to` without ever replacing an existing `to`.
// Returns 0, EEXIST when `to` is taken, or another errno value.
int AddNameNoReplace(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  // A file system without hard links: move the file instead; the caller
  // writes a new file under the old name next.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  return errno;
}

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& out) {
  FileDescriptor fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | kOpenFlags); }));
  if (!fd.Valid()) return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kError;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadStatus::kError;
  if (static_cast<unsigned long long>(info.st_size) > maxSize) return ReadStatus::kTooLarge;

  // Room for one byte more than the file holds: a file that keeps its size is
  // read with one read, and its end seen with a second. Only a read of 0
  // bytes is the end: a file system may split reads, and the size fstat gave
  // may be stale. A file that grows meanwhile is read on, within maxSize.
  const auto size = static_cast<std::size_t>(info.st_size);
  out.assign(size + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == out.size()) {
      if (filled > maxSize) return ReadStatus::kTooLarge;
      out.resize(std::min(maxSize + 1, filled + std::max<std::size_t>(filled, 16384)));
    }
    const std::size_t room = out.size() - filled;
    const ssize_t n =
        RetryOnInterrupt([&] { return ::read(fd.Get(), out.data() + filled, room); });
    if (n < 0) return ReadStatus::kError;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > maxSize) return ReadStatus::kTooLarge;
  out.resize(filled);
  return ReadStatus::kOk;
}

bool MakeFolders(const std::string& folder, mode_t mode) {
  if (IsFolder(folder)) return true;
  if (folder.empty() || folder.front() != '/') return false;
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = folder.find('/', end + 1);
    const std::string prefix = folder.substr(0, end);
    if (::mkdir(prefix.c_str(), mode) == 0) {
      // mkdir applies the umask; the store's folders get exactly `mode`.
      if (::chmod(prefix.c_str(), mode) != 0) return false;
      SyncFolder(ParentOf(prefix));
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return IsFolder(folder);
}

bool FileLock::IsAt(const std::string& path, struct stat& info) const {
  return ::lstat(path.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

bool FileLock::StillAt(const std::string& path) const {
  struct stat info {};
  return IsAt(path, info);
}

ReplacementMark::ReplacementMark(const FileLock& lock) : lock_(lock) {
  set_ = RetryOnInterrupt([&] { return ::ftruncate(lock_.fd_.Get(), kUnfinishedSize); }) == 0;
}

ReplacementMark::~ReplacementMark() {
  if (!set_) return;
  // Not marked finished when this fails: the next writer reads the folder.
  const int result =
      RetryOnInterrupt([&] { return ::ftruncate(lock_.fd_.Get(), kFinishedSize); });
  static_cast<void>(result);
}

FileLock LockExclusive(const std::string& path, std::chrono::steady_clock::time_point deadline) {
  // Polls: flock has no timed wait, and a library may not use the host's
  // signals to interrupt one.
  constexpr std::chrono::microseconds kFirstPause{100};
  constexpr std::chrono::microseconds kLongestPause{2000};
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    FileLock lock;
    lock.fd_ = FileDescriptor(RetryOnInterrupt([&] {
      return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | kOpenFlags, kLockFileMode);
    }));
    if (!lock.fd_.Valid()) return {};
    struct stat info {};
    if (::fstat(lock.fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    // A lock file made by an older writer may let other users open it and
    // hold the lock.
    if ((info.st_mode & 0777) != kLockFileMode && info.st_uid == ::geteuid() &&
        ::fchmod(lock.fd_.Get(), kLockFileMode) != 0) {
      return {};
    }
    lock.device_ = info.st_dev;
    lock.inode_ = info.st_ino;
    while (RetryOnInterrupt([&] { return ::flock(lock.fd_.Get(), LOCK_EX | LOCK_NB); }) != 0) {
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return {};
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

void RemoveStrayTemporaries(const std::string& folder, const std::string& fileName,
                            const FileLock& lock) {
  // The files this process has looked for strays of (a few per domain), with
  // its writes of each since. A writer killed under a lock file that reads
  // finished leaves no mark (one of an older version, one whose lock file was
  // removed underneath it, one that could not change the lock file), so every
  // kLookAgainEvery-th write reads the folder all the same. Never destroyed (a
  // caller's static object may write at exit), and only tried (a child made
  // by _Fork or clone may find it locked for good): when busy, the folder is
  // read.
  constexpr unsigned kLookAgainEvery = 64;
  struct Looked {
    std::mutex mutex;
    std::unordered_map<std::string, unsigned> files;
  };
  static Utils::internal::NoDestructor<Looked> looked;
  if (!lock.LeftUnfinished()) {
    const std::unique_lock<std::mutex> hold(looked->mutex, std::try_to_lock);
    if (hold.owns_lock()) {
      const auto [file, added] = looked->files.try_emplace(folder + "/" + fileName, 0);
      if (!added && ++file->second % kLookAgainEvery != 0) return;
    }
  }
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsTemporaryOf(entry->d_name, fileName)) ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
  }
}

bool PreserveDamagedFile(const std::string& folder, const std::string& fileName) {
  const std::string from = folder + "/" + fileName;
  const std::string base = from + ".corrupt-" + UtcStamp();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string to = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    const int result = AddNameNoReplace(from, to);
    if (result == 0) return true;
    if (result != EEXIST) return false;
  }
  return false;
}

}  // namespace ZQ::RVL::Utils::Preferences
