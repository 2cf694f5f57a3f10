// Stream plumbing shared by the container writers and readers: bounded reads
// in fixed pieces, the one light reader, and the guard every public call runs
// its body in. Private to utils/crypto.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ios>
#include <istream>
#include <memory>
#include <new>
#include <ostream>
#include <utility>

#include "utils/crypto/Constants.h"
#include "utils/crypto/LightScramble.h"
#include "utils/runtime/OpenSsl.h"

namespace ZQ::RVL::Utils::Crypto::internal {

using Utils::internal::CallerErrorQueue;

// Room for one piece, on the heap: a call's stack stays small (Crypto.h).
// Throws std::bad_alloc, which StreamFailureAsFalse turns into false.
inline std::unique_ptr<unsigned char[]> NewPiece() {
  return std::unique_ptr<unsigned char[]>(new unsigned char[kPieceSize]);
}

// Reads up to `limit` bytes from `in` in pieces of at most kPieceSize bytes.
// Each piece lands at `placeFor(offset, want)` (room for `want` bytes; null
// stops the reading) and is handed to `onPiece(unsigned char* piece,
// std::size_t n)`, which returns false to stop. Ends when `limit` bytes were
// read, `in` runs dry or a callback stops; a read of zero bytes is never asked
// for, so reaching `limit` leaves `in`'s flags as they were. Returns the number
// of bytes read.
template <typename PlaceFor, typename OnPiece>
std::int64_t ReadPiecesAt(std::istream& in, std::int64_t limit, PlaceFor&& placeFor,
                          OnPiece&& onPiece) {
  std::int64_t taken = 0;
  while (taken < limit) {
    const auto want = std::min<std::int64_t>(limit - taken, kPieceSize);
    unsigned char* piece = placeFor(taken, static_cast<std::size_t>(want));
    if (piece == nullptr) break;
    in.read(reinterpret_cast<char*>(piece), static_cast<std::streamsize>(want));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    taken += got;
    if (!onPiece(piece, static_cast<std::size_t>(got))) break;
    if (got < want) break;
  }
  return taken;
}

// As ReadPiecesAt, with every piece landing in the same `piece` buffer (room
// for kPieceSize bytes).
template <typename OnPiece>
std::int64_t ReadPieces(std::istream& in, std::int64_t limit, unsigned char* piece,
                        OnPiece&& onPiece) {
  return ReadPiecesAt(
      in, limit, [piece](std::int64_t, std::size_t) { return piece; },
      std::forward<OnPiece>(onPiece));
}

// The light reader of every light path: reads up to `limit` bytes of `in` as
// ReadPiecesAt does, descrambles each piece, and hands it to
// `deliver(unsigned char*, std::size_t)`. Every piece but the last is
// kPieceSize bytes, a multiple of 16, so the pattern stays counted from the
// first byte read. Returns the number of bytes read.
template <typename PlaceFor, typename Deliver>
std::int64_t ReadLight(std::istream& in, std::int64_t limit, PlaceFor&& placeFor,
                       Deliver&& deliver) {
  static_assert(kPieceSize % 16 == 0);
  return ReadPiecesAt(in, limit, std::forward<PlaceFor>(placeFor),
                      [&deliver](unsigned char* piece, std::size_t n) {
                        ScrambleLight(piece, n);
                        return deliver(piece, n);
                      });
}

// Writes `n` bytes to `out`; returns false when the write failed.
inline bool WriteBytes(std::ostream& out, const unsigned char* bytes, std::size_t n) {
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
  return !out.fail();
}

// Returns true when a read from `in` failed for another reason than its end
// (a read error of the device or the stream buffer): unlike a payload cut
// short, that is never a container read to its end.
inline bool ReadFailed(const std::istream& in) {
  return in.bad() || (in.fail() && !in.eof());
}

// While it lives, the end of `in`'s data (eofbit and failbit) throws no
// exception even when the caller enabled them, so that every read can consult
// gcount() and reach the same result as on a stream without exceptions.
// badbit stays as the caller set it: with it, an exception thrown by the
// stream buffer still reaches the caller's handler. The caller's mask is back
// on the way out; the flags stay as the reads left them.
class EndOfDataDoesNotThrow {
 public:
  explicit EndOfDataDoesNotThrow(std::istream* in)
      : in_(in), saved_(in != nullptr ? in->exceptions() : std::ios::goodbit) {
    if (!Muted()) return;
    try {
      in_->exceptions(saved_ & std::ios::badbit);  // a bad stream throws: the mask is set
    } catch (const std::ios_base::failure&) {
    }
  }
  ~EndOfDataDoesNotThrow() {
    if (!Muted()) return;
    try {
      in_->exceptions(saved_);  // throws when the flags are set: they stay set
    } catch (const std::ios_base::failure&) {
    }
  }
  EndOfDataDoesNotThrow(const EndOfDataDoesNotThrow&) = delete;
  EndOfDataDoesNotThrow& operator=(const EndOfDataDoesNotThrow&) = delete;

 private:
  bool Muted() const { return (saved_ & ~std::ios::badbit) != std::ios::goodbit; }

  std::istream* in_;
  std::ios::iostate saved_;
};

// Runs `body` (returning bool) the way every public call runs: the end of
// `in`'s data does not throw (EndOfDataDoesNotThrow; `in` may be null), the
// calling thread's OpenSSL error queue is as it was afterwards, and a stream
// failure (std::ios_base::failure) or a failed allocation becomes false, as
// the library never throws on bad input. Any other exception, a caller's own
// from its stream buffer or the forced unwinding of a cancelled thread, passes
// through unchanged; whatever `body` owns is released by its own destructors.
template <typename Body>
bool StreamFailureAsFalse(std::istream* in, Body&& body) {
  const CallerErrorQueue keep;
  try {
    const EndOfDataDoesNotThrow quiet(in);
    return body();
  } catch (const std::ios_base::failure&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
