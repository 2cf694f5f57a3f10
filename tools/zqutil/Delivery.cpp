#include "tools/zqutil/Delivery.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <streambuf>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/ContainerInspection.h"

namespace zqutil {

namespace {
constexpr std::size_t kSizeFieldAt = 8;
constexpr std::size_t kSizeFieldEnd = 12;
}  // namespace

class HeaderTap::Buffer : public std::streambuf {
 public:
  Buffer(std::streambuf* source, std::optional<bool> light) : source_(source), light_(light) {}
  std::optional<std::int32_t> SizeField() const {
    if (seen_ < kSizeFieldEnd) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{field_[i]} << (8 * i);
    std::int32_t size;
    std::memcpy(&size, &value, sizeof size);
    return size;
  }

 protected:
  int_type underflow() override {
    const std::uint64_t want = std::min<std::uint64_t>(sizeof window_, Limit() - taken_);
    if (want == 0) return traits_type::eof();
    const std::streamsize got = source_->sgetn(window_, static_cast<std::streamsize>(want));
    if (got <= 0) return traits_type::eof();
    taken_ += static_cast<std::uint64_t>(got);
    Keep(window_, static_cast<std::size_t>(got));
    setg(window_, window_, window_ + got);
    return traits_type::to_int_type(*gptr());
  }

 private:
  void Keep(const char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n && seen_ < kSizeFieldEnd; ++i, ++seen_) {
      if (seen_ >= kSizeFieldAt)
        field_[seen_ - kSizeFieldAt] = static_cast<unsigned char>(bytes[i]);
    }
  }

  // How many bytes of `source_` the stream may take: all without a form;
  // with one, the header up to its size field, then the whole container.
  std::uint64_t Limit() const {
    if (!light_) return UINT64_MAX;
    const std::optional<std::int32_t> size = SizeField();
    if (!size) return kSizeFieldEnd;
    // A negative size: the container is the header alone.
    return static_cast<std::uint64_t>(ContainerLength(std::max(*size, 0), *light_));
  }

  std::streambuf* source_;
  std::optional<bool> light_;
  std::uint64_t taken_ = 0;
  char window_[4096];
  unsigned char field_[4] = {};
  std::size_t seen_ = 0;
};

HeaderTap::HeaderTap(std::istream& source, std::optional<bool> endAtContainer)
    : buffer_(std::make_unique<Buffer>(source.rdbuf(), endAtContainer)), stream_(buffer_.get()) {}
HeaderTap::~HeaderTap() = default;
std::optional<std::int32_t> HeaderTap::SizeField() const {
  return buffer_->SizeField();
}

class CountedOutput::Buffer : public std::streambuf {
 public:
  explicit Buffer(std::streambuf* target) : target_(target) {}
  std::uint64_t Count() const { return count_; }

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize n) override {
    const std::streamsize put = target_->sputn(bytes, n);
    if (put > 0) count_ += static_cast<std::uint64_t>(put);
    return put;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  std::uint64_t count_ = 0;
};

CountedOutput::CountedOutput(std::ostream& target)
    : buffer_(std::make_unique<Buffer>(target.rdbuf())), stream_(buffer_.get()) {}
CountedOutput::~CountedOutput() = default;
std::uint64_t CountedOutput::Count() const {
  return buffer_->Count();
}

void CheckDelivered(const std::string& input, std::optional<std::int32_t> size,
                    std::uint64_t delivered) {
  if (size && *size >= 0 && delivered == static_cast<std::uint64_t>(*size)) return;
  Fail(input + " is damaged: it gave " + std::to_string(delivered) + " bytes, its header says " +
       (size ? std::to_string(*size) : std::string("nothing")) +
       " (cut short, forged, or written with another key pair)");
}

}  // namespace zqutil
