// A standard stream buffer over a descriptor of the file layer, so that the
// stream code of the library and the tool reads and writes files the layer
// opened (FileCalls.h: EINTR and short writes handled, faults injectable).
// Private (not installed).
//
// Thread-safety: one thread at a time per object.
#pragma once

#include <cstddef>
#include <memory>
#include <streambuf>

namespace ZQ::RVL::Utils::internal {

class FileStreamBuf : public std::streambuf {
 public:
  // Reads or writes `fd`, which the caller keeps open while this lives, in
  // pieces of the buffer's size (allocated here, never on the stack).
  explicit FileStreamBuf(int fd, std::size_t bufferSize = 64 * 1024);
  // Drops what is still buffered, unwritten: a writer calls Flush() when it
  // is done. (Writing here would block again, no longer cancellable, a thread
  // whose cancellation is unwinding it from a stalled FIFO or socket.)
  ~FileStreamBuf() override;
  FileStreamBuf(const FileStreamBuf&) = delete;
  FileStreamBuf& operator=(const FileStreamBuf&) = delete;

  // Writes out what is buffered. False, with Error() set, when a write failed
  // now or before.
  bool Flush();
  // The errno of the first failed read or write, 0 when none failed.
  int Error() const { return error_; }

 protected:
  int_type underflow() override;
  int_type overflow(int_type c) override;
  int sync() override;
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;

 private:
  int fd_;
  std::size_t size_;
  std::unique_ptr<char[]> in_;
  std::unique_ptr<char[]> out_;
  int error_ = 0;
};

}  // namespace ZQ::RVL::Utils::internal
