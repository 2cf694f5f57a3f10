// Stream buffers that fail after a given number of bytes, to inject real I/O
// failure into readers and writers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <streambuf>
#include <string>

namespace zqtest {

// Accepts the first `capacity` bytes written into `sink`, then reports every
// further write as failed (as a full disk does).
class FailingWriteBuf : public std::streambuf {
 public:
  explicit FailingWriteBuf(std::size_t capacity) : capacity_(capacity) {}
  const std::string& Written() const { return sink_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::size_t room = capacity_ - sink_.size();
    const std::size_t take = std::min(room, static_cast<std::size_t>(n));
    sink_.append(s, take);
    return static_cast<std::streamsize>(take);
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (sink_.size() >= capacity_) return traits_type::eof();
    sink_.push_back(traits_type::to_char_type(c));
    return c;
  }

 private:
  std::size_t capacity_;
  std::string sink_;
};

// Delivers the first `limit` bytes of `data`, then reports a read error (an
// exception from the buffer, which the stream turns into badbit), unlike a
// clean end of data.
class FailingReadBuf : public std::streambuf {
 public:
  FailingReadBuf(std::string data, std::size_t limit) : data_(std::move(data)), limit_(limit) {}

 protected:
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    const std::size_t end = std::min(limit_, data_.size());
    const std::size_t take = std::min(end - pos_, static_cast<std::size_t>(n));
    std::copy_n(data_.data() + pos_, take, s);
    pos_ += take;
    if (take < static_cast<std::size_t>(n) && pos_ == limit_ && limit_ < data_.size()) {
      throw std::ios_base::failure("injected read error");
    }
    return static_cast<std::streamsize>(take);
  }
  int_type underflow() override {
    if (pos_ >= std::min(limit_, data_.size())) {
      if (limit_ < data_.size()) throw std::ios_base::failure("injected read error");
      return traits_type::eof();
    }
    return traits_type::to_int_type(data_[pos_]);
  }
  int_type uflow() override {
    const int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++pos_;
    return c;
  }

 private:
  std::string data_;
  std::size_t limit_;
  std::size_t pos_ = 0;
};

}  // namespace zqtest
