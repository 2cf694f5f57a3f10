// An owning file descriptor, and the retry of system calls that a signal
// interrupts. Private to the library and the zqutil tool (not installed).
//
// Thread-safety: a FileDescriptor object is used by one thread at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ZQ::RVL::Utils::internal {

// Calls `call` again while it fails with EINTR: a signal handler of the host
// application must not turn into a lost write.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

// Owns one open file descriptor and closes it on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  // Closes the descriptor now; returns false when close() reports an error
  // (for a file just written, the data may then not have reached the disk).
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  bool Close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }
  void Reset() { Close(); }

 private:
  int fd_ = -1;
};

}  // namespace ZQ::RVL::Utils::internal
