// An owning file descriptor of the file layer. Private to the library and the
// zqutil tool (not installed).
//
// Thread-safety: a FileDescriptor object is used by one thread at a time.
#pragma once

#include <utility>

#include "utils/file/FileCalls.h"

namespace ZQ::RVL::Utils::internal {

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
  // Gives the descriptor up to the caller, who closes it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the descriptor now; returns false when close() reports an error
  // (for a file just written, the data may then not have reached the disk).
  bool Close() { return fd_ < 0 || files::Close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace ZQ::RVL::Utils::internal
