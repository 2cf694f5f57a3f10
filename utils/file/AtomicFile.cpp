#include "utils/file/AtomicFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace ZQ::RVL::Utils::internal {

namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit (ELOOP)
constexpr int kMaxNameAttempts = 100;

// Follows `path` while it is a symbolic link; a missing end is where a new
// file will be made. Returns false with errno set when a step fails.
bool ResolveLinks(std::string path, std::string& out) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno != ENOENT) return false;
      out = path;
      return true;
    }
    if (!S_ISLNK(info.st_mode)) {
      out = path;
      return true;
    }
    // The kernel's rule for links in shared folders (fs.protected_symlinks),
    // which this walk would otherwise get round: in a sticky folder that
    // others may write, such as /tmp, a link is followed only when it is ours
    // or the folder owner's, so another user cannot point it at our files.
    struct stat folder {};
    if (::stat(ParentOf(path).c_str(), &folder) != 0) return false;
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
        info.st_uid != ::geteuid() && info.st_uid != folder.st_uid) {
      errno = EACCES;
      return false;
    }
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) >= target.size()) {
      errno = ENAMETOOLONG;  // the link changed under us; give up rather than loop
      return false;
    }
    std::string next(target.data(), static_cast<std::size_t>(length));
    path = next.front() == '/' ? next : ParentOf(path) + "/" + next;
  }
  errno = ELOOP;
  return false;
}

// kTemporarySuffixLength characters of [A-Za-z0-9] for a temporary name.
std::string RandomSuffix() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ull ^
           static_cast<std::uint64_t>(::getpid()) << 32;
  }
  bits += counter.fetch_add(0x632be59bd9b4e019ull, std::memory_order_relaxed);
  std::string suffix(kTemporarySuffixLength, 'X');
  for (char& c : suffix) {
    c = kAlphabet[bits % 62];
    bits /= 62;
  }
  return suffix;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SyncFolder(const std::string& folder) {
  const FileDescriptor fd(RetryOnInterrupt([&] {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  }));
  return fd.Valid() && RetryOnInterrupt([&] { return ::fsync(fd.Get()); }) == 0;
}

AtomicFile::~AtomicFile() {
  if (!committed_ && !temporaryName_.empty()) ::unlinkat(folder_.Get(), temporaryName_.c_str(), 0);
}

bool AtomicFile::Begin(const std::string& path, const ReplaceOptions& options) {
  std::string target = path;
  if (options.throughLinks && !ResolveLinks(path, target)) return false;
  struct stat info {};
  bool exists = ::lstat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (exists && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
  exists = exists && S_ISREG(info.st_mode);

  const auto slash = target.find_last_of('/');
  name_ = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string folder = ParentOf(target);
  folder_ = FileDescriptor(RetryOnInterrupt([&] {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!folder_.Valid()) return false;

  if (options.mode) {
    mode_ = *options.mode;
    setMode_ = true;
  } else if (exists) {
    mode_ = info.st_mode & 0777;
    setMode_ = true;
    owner_.emplace(info.st_uid, info.st_gid);
  }
  // A new file without a given mode is made 0666 and the kernel applies the
  // umask, which the library never changes (not even to read it).
  const mode_t createMode = setMode_ ? 0600 : 0666;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::string name = name_ + std::string(kTemporaryInfix) + RandomSuffix();
    file_ = FileDescriptor(RetryOnInterrupt([&] {
      return ::openat(folder_.Get(), name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
    }));
    if (file_.Valid()) {
      temporaryName_ = std::move(name);
      temporaryPath_ = folder + "/" + temporaryName_;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool AtomicFile::Write(std::string_view bytes) {
  return WriteAll(file_.Get(), bytes);
}

bool AtomicFile::Sync() {
  if (synced_) return true;
  if (!file_.Valid()) {
    errno = EBADF;
    return false;
  }
  // Owner first: fchown clears set-id bits, and may be refused to a normal
  // user, who then gets a file of their own with the old mode.
  if (owner_ && ::fchown(file_.Get(), owner_->first, owner_->second) != 0) {
    // Not ours to give away: the file stays this user's.
  }
  if (setMode_ && ::fchmod(file_.Get(), mode_) != 0) return false;
  if (RetryOnInterrupt([&] { return ::fsync(file_.Get()); }) != 0 || !file_.Close()) return false;
  synced_ = true;
  return true;
}

bool AtomicFile::Commit() {
  if (!Sync()) return false;
  if (::renameat(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name_.c_str()) != 0) {
    return false;
  }
  committed_ = true;
  // Without this the rename itself could be lost in a crash.
  return RetryOnInterrupt([&] { return ::fsync(folder_.Get()); }) == 0;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, const ReplaceOptions& options) {
  AtomicFile file;
  return file.Begin(path, options) && file.Write(bytes) && file.Commit();
}

}  // namespace ZQ::RVL::Utils::internal
