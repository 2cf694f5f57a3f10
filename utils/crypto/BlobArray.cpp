#include "utils/crypto/BlobArray.h"

#include <cxxabi.h>
#include <algorithm>
#include <cassert>
#include <cstring>
#include <istream>
#include <new>

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

// Runs `call` on `in`'s stream buffer. An exception from the buffer means the
// stream cannot tell (-1), unless the caller asked for its buffer's exceptions
// (badbit in exceptions()): then it passes through, as the forced unwinding of
// a cancelled thread always does.
template <typename Call>
std::int64_t AskBuffer(std::istream& in, Call&& call) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return -1;
  try {
    return call(*buffer);
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if ((in.exceptions() & std::ios::badbit) != 0) throw;
    return -1;
  }
}

}  // namespace

std::int64_t RemainingBytes(std::istream& in) {
  return AskBuffer(in, [](std::streambuf& buffer) -> std::int64_t {
    const std::streampos here = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
    if (here == std::streampos(-1)) return -1;
    const std::streampos end = buffer.pubseekoff(0, std::ios::end, std::ios::in);
    buffer.pubseekpos(here, std::ios::in);
    if (end == std::streampos(-1) || end < here) return -1;
    return static_cast<std::int64_t>(end - here);
  });
}

std::int64_t CertainBytes(std::istream& in) {
  return AskBuffer(in, [](std::streambuf& buffer) -> std::int64_t { return buffer.in_avail(); });
}

BlobArray::BlobArray(std::size_t limit, std::size_t reserve) : limit_(limit) {
  Resize(std::min(reserve, limit));
}

bool BlobArray::Resize(std::size_t capacity) {
  assert(capacity >= size_);
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[capacity]);
  if (!bytes) return false;
  if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
  return true;
}

unsigned char* BlobArray::Room(std::size_t n) {
  if (n > limit_ - size_) return nullptr;
  const std::size_t needed = size_ + n;
  if (needed > capacity_) {
    const std::size_t grown = capacity_ + std::max(capacity_, kShortfallSlack);
    if (!Resize(std::min(limit_, std::max(needed, grown)))) return nullptr;
  }
  return bytes_.get() + size_;
}

bool BlobArray::Append(const unsigned char* bytes, std::size_t n) {
  unsigned char* room = Room(n);
  if (room == nullptr) return false;
  if (n > 0) std::memcpy(room, bytes, n);
  Commit(n);
  return true;
}

unsigned char* BlobArray::Release(std::size_t size) {
  assert(size >= size_ && size <= limit_);
  if (capacity_ != size && !Resize(size)) return nullptr;
  std::memset(bytes_.get() + size_, 0, size - size_);
  capacity_ = 0;
  size_ = 0;
  return bytes_.release();
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
