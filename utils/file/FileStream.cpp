#include "utils/file/FileStream.h"

#include <cerrno>
#include <string_view>

#include "utils/file/File.h"
#include "utils/file/FileCalls.h"

namespace ZQ::RVL::Utils::internal {

FileStreamBuf::FileStreamBuf(int fd, std::size_t bufferSize) : fd_(fd), size_(bufferSize) {}

FileStreamBuf::~FileStreamBuf() = default;

bool FileStreamBuf::Flush() {
  if (out_ && pptr() != pbase()) {
    const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    if (error_ == 0 && !WriteAll(fd_, pending)) error_ = errno;
    setp(out_.get(), out_.get() + size_);
  }
  return error_ == 0;
}

FileStreamBuf::int_type FileStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!in_) in_ = std::make_unique<char[]>(size_);
  const ssize_t got = files::Read(fd_, in_.get(), size_);
  if (got <= 0) {
    if (got < 0 && error_ == 0) error_ = errno;
    return traits_type::eof();
  }
  setg(in_.get(), in_.get(), in_.get() + got);
  return traits_type::to_int_type(*gptr());
}

FileStreamBuf::int_type FileStreamBuf::overflow(int_type c) {
  if (!out_) {
    out_ = std::make_unique<char[]>(size_);
    setp(out_.get(), out_.get() + size_);
  } else if (!Flush()) {
    return traits_type::eof();
  }
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize FileStreamBuf::xsputn(const char* bytes, std::streamsize count) {
  // A piece larger than the buffer goes straight to the file.
  if (static_cast<std::size_t>(count) >= size_) {
    if (!Flush() || !WriteAll(fd_, std::string_view(bytes, static_cast<std::size_t>(count)))) {
      if (error_ == 0) error_ = errno;
      return 0;
    }
    return count;
  }
  return std::streambuf::xsputn(bytes, count);
}

int FileStreamBuf::sync() {
  return Flush() ? 0 : -1;
}

}  // namespace ZQ::RVL::Utils::internal
