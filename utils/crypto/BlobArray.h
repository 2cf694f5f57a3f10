// The array a blob reader hands to its caller, grown as the stream's bytes
// arrive, so that a size field cannot make a reader allocate memory the stream
// never fills. Private to utils/crypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>

namespace ZQ::RVL::Utils::Crypto::internal {

// How far a light payload may fall short of its size field and still be read
// back (zero-filled); also the size up to which a reader allocates at once
// without asking the stream how much it holds.
inline constexpr std::size_t kShortfallSlack = std::size_t{64} << 10;

// Returns the bytes left in a seekable stream from its current position, or -1
// when the stream cannot tell (a pipe, say). The position is restored. Costs
// three seeks, which a file stream pays by dropping its buffer: for sizes
// above kShortfallSlack only.
std::int64_t RemainingBytes(std::istream& in);

// Returns how many bytes `in` is sure to deliver without asking its source
// (what its buffer holds, or what the buffer says is available), or -1. No
// seek.
std::int64_t CertainBytes(std::istream& in);

// Bytes appended one piece after another into memory that grows with them: at
// once to `reserve` bytes, then to at most twice what it holds (at least by
// kShortfallSlack), never beyond `limit`. Hands out the result as one array
// allocated with new[].
class BlobArray {
 public:
  BlobArray(std::size_t limit, std::size_t reserve);

  // Returns room for `n` more bytes after Size(), or null when that would pass
  // the limit or memory runs out.
  unsigned char* Room(std::size_t n);
  // Counts `n` bytes written into the last Room() as held.
  void Commit(std::size_t n) { size_ += n; }
  // Room(n), a copy of `bytes`, Commit(n); false when there is no room.
  bool Append(const unsigned char* bytes, std::size_t n);

  std::size_t Size() const { return size_; }

  // Hands out an array of exactly `size` bytes (at least Size(), at most the
  // limit) holding the bytes appended, zero after them; null when memory runs
  // out. The caller owns it; the BlobArray is empty afterwards.
  unsigned char* Release(std::size_t size);

 private:
  bool Resize(std::size_t capacity);

  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t limit_;
};

}  // namespace ZQ::RVL::Utils::Crypto::internal
