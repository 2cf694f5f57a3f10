#include "utils/file/FileCalls.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace ZQ::RVL::Utils::internal::files {

namespace {

std::atomic<FaultHook*> gHook{nullptr};

// Asks the hook, if any: true when the call is to be made, false (errno set)
// when the hook fails it. An EINTR from the hook is retried like the kernel's.
bool Allowed(Call call, int fd, const char* name, std::size_t& size) {
  FaultHook* hook = gHook.load(std::memory_order_acquire);
  if (hook == nullptr) return true;
  for (;;) {
    const int error = hook->Before(call, fd, name, size);
    if (error == 0) return true;
    if (error != EINTR) {
      errno = error;
      return false;
    }
  }
}

bool Allowed(Call call, int fd, const char* name) {
  std::size_t unused = 0;
  return Allowed(call, fd, name, unused);
}

template <typename SystemCall>
auto Retried(SystemCall call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

// Whether `fd` holds what the open of `path` (in `folder`, with `flags`)
// made: the file now at that path, or for O_TMPFILE an unnamed file.
bool Opened(int fd, int folder, const char* path, int flags, struct stat& ours) {
  if (::fstat(fd, &ours) != 0) return false;
  if ((flags & O_TMPFILE) == O_TMPFILE) return S_ISREG(ours.st_mode) && ours.st_nlink == 0;
  struct stat there {};
  const int follow = (flags & O_NOFOLLOW) != 0 ? AT_SYMLINK_NOFOLLOW : 0;
  return ::fstatat(folder, path, &there, follow) == 0 && SameFile(there, ours);
}

constexpr int kDisplaced = -2;

// Moves `fd`, just opened, above the standard descriptors. It got one of them
// only when a host thread freed that number during the open
// (FillFreeStandardNumbers filled the ones free before it). A host thread may
// also have put its own file on the number since (dup2): what was opened is
// then checked against the path, and on a mismatch the number, now the
// host's, is left alone and kDisplaced returned (the open is made again).
// The number is given back only while it still holds our file. What a host
// thread wrote into or read from the file through that number meanwhile is
// undone: a file this open made is emptied and the offset goes back to the
// start (a file opened for writing that it did not make is opened only after
// checks through a descriptor that cannot write, File.cpp).
int AboveStandard(int fd, int folder, const char* path, int flags) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  // The instant a host thread could act through the number: the seam lets a
  // test act as that thread (kOpen with the number and no name).
  if (FaultHook* hook = gHook.load(std::memory_order_acquire)) {
    std::size_t unused = 0;
    hook->Before(Call::kOpen, fd, nullptr, unused);
  }
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) {
    // Closed by a host thread already (it took the number for its own):
    // nothing of ours is left to close.
    if (errno == EBADF) return kDisplaced;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  struct stat ours {};
  if (!Opened(moved, folder, path, flags, ours)) {
    ::close(moved);
    return kDisplaced;
  }
  struct stat low {};
  if (::fstat(fd, &low) == 0 && SameFile(low, ours)) ::close(fd);
  const bool made =
      (flags & O_TMPFILE) == O_TMPFILE || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  if (made && ::ftruncate(moved, 0) != 0) {
    const int saved = errno;
    ::close(moved);
    errno = saved;
    return -1;
  }
  if (S_ISREG(ours.st_mode)) ::lseek(moved, 0, SEEK_SET);
  return moved;
}

}  // namespace

// Fills the numbers 0-2 that are free, for good, so that our opens get
// numbers above them: a host that closed its standard descriptors and still
// writes to them (daemons do) would otherwise write into our files. Each
// number gets /dev/null opened for reading (or, without /dev/null, the read
// end of a pipe nobody writes): reads see the end, writes fail with EBADF as
// they did while it was closed, and the host may put its own file there
// (dup2) whenever it likes. They are never given back: closing one again
// would race with a host thread's dup2 onto that number, closing its file.
void FillFreeStandardNumbers() {
  pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  if (::poll(standard, 3, 0) < 0) return;
  if (((standard[0].revents | standard[1].revents | standard[2].revents) & POLLNVAL) == 0) return;
  const int saved = errno;
  for (int filled = 0; filled < 3; ++filled) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) break;
      ::close(ends[1]);
      fd = ends[0];
    }
    if (fd > STDERR_FILENO) {
      ::close(fd);
      break;
    }
  }
  errno = saved;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void SetFaultHook(FaultHook* hook) {
  gHook.store(hook, std::memory_order_release);
}

namespace {

// Makes `open(flags)` (an openat or openat2 of `path` in `folder`) with the
// standard numbers held, and moves what it got above them.
template <typename OpenCall>
int OpenAboveStandard(int folder, const char* path, int flags, OpenCall open) {
  int openFlags = flags;
  // A host thread that keeps freeing and refilling its standard numbers can
  // displace a few opens in a row; past that the open fails (EBUSY).
  for (int attempt = 0; attempt < 16; ++attempt) {
    FillFreeStandardNumbers();
    int fd = Retried([&] { return open(openFlags); });
    fd = AboveStandard(fd, folder, path, flags);
    if (fd != kDisplaced) return fd;
    // The file an exclusive create made is at its name, its descriptor
    // taken: opened again by that name, as long as it is still a file of
    // ours with no other name (AboveStandard empties it).
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
      openFlags = (flags & ~(O_CREAT | O_EXCL)) | O_NOFOLLOW;
      struct stat made {};
      if (::fstatat(folder, path, &made, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(made.st_mode) ||
          made.st_uid != ::geteuid() || made.st_nlink != 1) {
        errno = EEXIST;
        return -1;
      }
    }
  }
  errno = EBUSY;
  return -1;
}

}  // namespace

// The seam is asked after the standard numbers are filled: a test's hook can
// then free one just before the open, as a host thread might.
int Open(int folder, const char* path, int flags, mode_t mode) {
  return OpenAboveStandard(folder, path, flags, [&](int openFlags) {
    if (!Allowed(Call::kOpen, folder, path)) return -1;
    return ::openat(folder, path, openFlags | O_CLOEXEC, mode);
  });
}

int OpenWithoutLinks(int folder, const char* path, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  const int fd = OpenAboveStandard(folder, path, flags | O_NOFOLLOW, [&](int) {
    if (!Allowed(Call::kOpen, folder, path)) return -1;
    return static_cast<int>(::syscall(SYS_openat2, folder, path, &how, sizeof how));
  });
  // Older kernels and sandboxes without openat2: the caller walks the path.
  if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) errno = ELOOP;
  return fd;
}

int Duplicate(int fd) {
  if (!Allowed(Call::kOpen, fd, nullptr)) return -1;
  return ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

ssize_t Read(int fd, void* buffer, std::size_t size) {
  if (!Allowed(Call::kRead, fd, nullptr, size)) return -1;
  return Retried([&] { return ::read(fd, buffer, size); });
}

ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
  if (!Allowed(Call::kRead, fd, nullptr, size)) return -1;
  return Retried([&] { return ::pread(fd, buffer, size, offset); });
}

ssize_t Write(int fd, const void* bytes, std::size_t size) {
  if (!Allowed(Call::kWrite, fd, nullptr, size)) return -1;
  return Retried([&] { return ::write(fd, bytes, size); });
}

off_t Seek(int fd, off_t offset, int whence) {
  if (!Allowed(Call::kRead, fd, nullptr)) return -1;
  return ::lseek(fd, offset, whence);
}

int Sync(int fd) {
  if (!Allowed(Call::kSync, fd, nullptr)) return -1;
  return Retried([&] { return ::fsync(fd); });
}

int Close(int fd) {
  const bool allowed = Allowed(Call::kClose, fd, nullptr);
  const int saved = errno;
  // Not a cancellation point here: a close in a destructor (FileDescriptor's)
  // that acted on a cancellation request would unwind out of a noexcept
  // function and end the process.
  int cancelState = 0;
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
  const int result = ::close(fd);
  ::pthread_setcancelstate(cancelState, nullptr);
  if (allowed) return result;
  errno = saved;
  return -1;
}

int Stat(int fd, struct stat& info) {
  if (!Allowed(Call::kStat, fd, nullptr)) return -1;
  return ::fstat(fd, &info);
}

int StatAt(int folder, const char* name, struct stat& info, int flags) {
  if (!Allowed(Call::kStat, folder, name)) return -1;
  return ::fstatat(folder, name, &info, flags);
}

int Rename(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  if (!Allowed(Call::kRename, fromFolder, to)) return -1;
  return Retried([&] { return ::renameat2(fromFolder, from, toFolder, to, flags); });
}

int Link(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (!Allowed(Call::kLink, toFolder, to)) return -1;
  return Retried([&] { return ::linkat(fromFolder, from, toFolder, to, flags); });
}

int Unlink(int folder, const char* name, int flags) {
  if (!Allowed(Call::kUnlink, folder, name)) return -1;
  return Retried([&] { return ::unlinkat(folder, name, flags); });
}

int MakeFolder(int folder, const char* name, mode_t mode) {
  if (!Allowed(Call::kMakeFolder, folder, name)) return -1;
  return Retried([&] { return ::mkdirat(folder, name, mode); });
}

int ChangeMode(int fd, mode_t mode) {
  if (!Allowed(Call::kChangeMode, fd, nullptr)) return -1;
  return Retried([&] { return ::fchmod(fd, mode); });
}

int ChangeOwner(int fd, uid_t owner, gid_t group) {
  if (!Allowed(Call::kChangeOwner, fd, nullptr)) return -1;
  return Retried([&] { return ::fchown(fd, owner, group); });
}

int Truncate(int fd, off_t size) {
  if (!Allowed(Call::kTruncate, fd, nullptr)) return -1;
  return Retried([&] { return ::ftruncate(fd, size); });
}

int Lock(int fd, int operation) {
  if (!Allowed(Call::kLock, fd, nullptr)) return -1;
  return Retried([&] { return ::flock(fd, operation); });
}

int AccessAt(int folder, const char* name, int mode, int flags) {
  if (!Allowed(Call::kStat, folder, name)) return -1;
  return ::faccessat(folder, name, mode, flags);
}

ssize_t ReadLink(int folder, const char* name, char* buffer, std::size_t size) {
  if (!Allowed(Call::kStat, folder, name)) return -1;
  return ::readlinkat(folder, name, buffer, size);
}

int FileSystemType(int fd, long& type) {
  if (!Allowed(Call::kStat, fd, nullptr)) return -1;
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return -1;
  type = static_cast<long>(info.f_type);
  return 0;
}

DIR* OpenFolderListing(int fd) {
  if (!Allowed(Call::kReadFolder, fd, nullptr)) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return listing;
}

dirent* NextEntry(DIR* listing) {
  if (!Allowed(Call::kReadFolder, -1, nullptr)) return nullptr;
  errno = 0;
  return ::readdir(listing);
}

}  // namespace ZQ::RVL::Utils::internal::files
