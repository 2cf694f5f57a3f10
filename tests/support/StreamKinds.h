// Input streams of the kinds a real caller hands the library: a seekable
// string stream, a stream buffer that cannot seek and delivers a few bytes at
// a time (as a pipe does), and a file stream; each with or without
// exceptions(). Shared by the tests, the fuzz targets and the benchmarks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace zqtest {

enum class StreamKind { kString, kPipe, kFile };
inline constexpr StreamKind kStreamKinds[] = {StreamKind::kString, StreamKind::kPipe,
                                              StreamKind::kFile};

inline const char* KindName(StreamKind kind) {
  switch (kind) {
    case StreamKind::kString:
      return "string";
    case StreamKind::kPipe:
      return "pipe";
    case StreamKind::kFile:
      return "file";
  }
  return "?";
}

// Delivers `data` in windows of `window` bytes and refuses every seek (the
// defaults of std::streambuf), like the read end of a pipe.
class PipeReadBuf : public std::streambuf {
 public:
  explicit PipeReadBuf(std::string data, std::size_t window = 61)
      : data_(std::move(data)), window_(window) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::size_t at =
        egptr() == nullptr ? 0 : static_cast<std::size_t>(egptr() - data_.data());
    if (at >= data_.size()) return traits_type::eof();
    char* begin = data_.data() + at;
    setg(begin, begin, begin + std::min(window_, data_.size() - at));
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string data_;
  std::size_t window_;
};

// An input stream of one kind over `bytes`, with exceptions(failbit | badbit)
// when `exceptions` is set. The file kind is an anonymous in-memory file
// opened through /proc/self/fd.
class SourceStream {
 public:
  SourceStream(StreamKind kind, const std::string& bytes, bool exceptions)
      : string_(bytes), pipe_(bytes), pipeStream_(&pipe_) {
    switch (kind) {
      case StreamKind::kString:
        stream_ = &string_;
        break;
      case StreamKind::kPipe:
        stream_ = &pipeStream_;
        break;
      case StreamKind::kFile:
        OpenFile(bytes);
        stream_ = &file_;
        break;
    }
    if (exceptions) stream_->exceptions(std::ios::failbit | std::ios::badbit);
  }
  SourceStream(const SourceStream&) = delete;
  SourceStream& operator=(const SourceStream&) = delete;

  std::istream& Get() { return *stream_; }

  // Returns the bytes behind the stream's position (flags cleared first).
  std::string Rest() {
    stream_->exceptions(std::ios::goodbit);
    stream_->clear();
    return std::string(std::istreambuf_iterator<char>(*stream_), std::istreambuf_iterator<char>());
  }

 private:
  void OpenFile(const std::string& bytes) {
    const int fd = ::memfd_create("zq-stream", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    const bool written =
        ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    file_.open("/proc/self/fd/" + std::to_string(fd), std::ios::in | std::ios::binary);
    ::close(fd);
    if (!written || !file_.is_open()) throw std::runtime_error("cannot open the stream's file");
  }

  std::istringstream string_;
  PipeReadBuf pipe_;
  std::istream pipeStream_;
  std::ifstream file_;
  std::istream* stream_ = nullptr;
};

}  // namespace zqtest
