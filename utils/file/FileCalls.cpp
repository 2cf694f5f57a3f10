#include "utils/file/FileCalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

// Moves `fd`, just opened with `flags`, above the standard descriptors: a
// host that closed 0, 1 or 2 would otherwise have its stdin, stdout or stderr
// traffic reach our file. No number of the host's is ever held longer than
// this takes, so a host thread that puts its own file there meanwhile
// (dup2(log, 2)) keeps it: the low number is closed only while it is still
// ours. What a host thread wrote into or read from the file through that
// number in the moment is undone: a file this open made is emptied, and the
// offset goes back to the start.
int AboveStandard(int fd, int flags) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved = errno;
  struct stat low {};
  struct stat ours {};
  if (moved < 0 || (::fstat(fd, &low) == 0 && ::fstat(moved, &ours) == 0 &&
                    low.st_dev == ours.st_dev && low.st_ino == ours.st_ino)) {
    ::close(fd);
  }
  if (moved < 0) {
    errno = saved;
    return -1;
  }
  const bool made =
      (flags & O_TMPFILE) == O_TMPFILE || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  if (made && ::ftruncate(moved, 0) != 0) {
    ::close(moved);
    return -1;
  }
  if (S_ISREG(ours.st_mode)) ::lseek(moved, 0, SEEK_SET);
  return moved;
}

}  // namespace

void SetFaultHook(FaultHook* hook) {
  gHook.store(hook, std::memory_order_release);
}

int Open(int folder, const char* path, int flags, mode_t mode) {
  if (!Allowed(Call::kOpen, folder, path)) return -1;
  return AboveStandard(Retried([&] { return ::openat(folder, path, flags | O_CLOEXEC, mode); }),
                       flags);
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

int Sync(int fd) {
  if (!Allowed(Call::kSync, fd, nullptr)) return -1;
  return Retried([&] { return ::fsync(fd); });
}

int Close(int fd) {
  const bool allowed = Allowed(Call::kClose, fd, nullptr);
  const int saved = errno;
  const int result = ::close(fd);
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
