#include "utils/guid/RandomSource.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace ZQ::RVL::Utils::internal {

namespace {

// Closes a file descriptor on every path out of the reader.
class FileHandle {
 public:
  explicit FileHandle(int fd) : mFd(fd) {}
  ~FileHandle() {
    if (mFd >= 0) ::close(mFd);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return mFd; }

 private:
  int mFd;
};

// Returns true when getrandom(2) gave all `size` bytes, false when it failed
// with anything but an interruption (ENOSYS, EPERM, ...).
bool ReadGetrandom(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::getrandom(out + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool ReadRandomFile(const char* path, unsigned char* out, std::size_t size) {
  const FileHandle file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(file.Get(), out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool ReadKernelRandom(unsigned char* out, std::size_t size) {
  return ReadGetrandom(out, size) || ReadRandomFile("/dev/urandom", out, size);
}

}  // namespace ZQ::RVL::Utils::internal
