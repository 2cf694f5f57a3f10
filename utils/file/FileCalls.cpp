#include "utils/file/FileCalls.h"

#include <fcntl.h>
#include <poll.h>
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

// While it lives, descriptors 0-2 that the host closed hold /dev/null, read
// only: an open made meanwhile cannot get one of those numbers, so a host
// thread writing to its closed stderr (or reading its stdin) never reaches
// our file, not even for the moment before AboveStandard() would move it.
class StandardSlotsFilled {
 public:
  StandardSlotsFilled() {
    pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (::poll(standard, 3, 0) < 0) return;
    bool closed = false;
    for (const pollfd& slot : standard) closed = closed || (slot.revents & POLLNVAL) != 0;
    while (closed && count_ < 3) {
      const int fd = ::open("/dev/null", O_RDONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) break;
      if (fd > STDERR_FILENO) {
        ::close(fd);
        break;
      }
      placeholders_[count_++] = fd;
    }
  }
  ~StandardSlotsFilled() {
    const int saved = errno;
    for (int i = 0; i < count_; ++i) ::close(placeholders_[i]);
    errno = saved;
  }
  StandardSlotsFilled(const StandardSlotsFilled&) = delete;
  StandardSlotsFilled& operator=(const StandardSlotsFilled&) = delete;

 private:
  int placeholders_[3] = {-1, -1, -1};
  int count_ = 0;
};

// Moves `fd` above the standard descriptors: a host that closed 0, 1 or 2
// would otherwise write its stdin, stdout or stderr traffic into our file.
int AboveStandard(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

}  // namespace

void SetFaultHook(FaultHook* hook) {
  gHook.store(hook, std::memory_order_release);
}

int Open(int folder, const char* path, int flags, mode_t mode) {
  if (!Allowed(Call::kOpen, folder, path)) return -1;
  const auto open = [&] {
    return Retried([&] { return ::openat(folder, path, flags | O_CLOEXEC, mode); });
  };
  const int fd = open();
  // The kernel hands out the lowest free number: above 2, the host's 0-2
  // were all open, and nothing can reach our file through them.
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  // The host closed one of them: this file was one of its stdin, stdout or
  // stderr for a moment. Drop it (and the entry it made) and open it again
  // with those numbers taken.
  ::close(fd);
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) ::unlinkat(folder, path, 0);
  const StandardSlotsFilled filled;
  return AboveStandard(open());
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
