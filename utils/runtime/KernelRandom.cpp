#include "utils/runtime/KernelRandom.h"

#include <errno.h>
#include <sys/random.h>

#include "utils/file/File.h"

namespace ZQ::RVL::Utils::internal {

namespace {

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
  OpenedFile file;
  ReadPolicy policy;
  policy.kinds = kCharacterDevice | kRegularFile;
  return OpenForReading(path, policy, file) && ReadExactly(file.fd.Get(), out, size);
}

bool ReadKernelRandom(unsigned char* out, std::size_t size) {
  return ReadGetrandom(out, size) || ReadRandomFile("/dev/urandom", out, size);
}

}  // namespace ZQ::RVL::Utils::internal
