// Stream plumbing shared by the container writers and readers: bounded reads
// in fixed pieces, and the guard that keeps stream exceptions inside the
// library. Private to utils/crypto.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ios>
#include <istream>
#include <new>

#include "utils/crypto/Constants.h"

namespace ZQ::RVL::Utils::Crypto::internal {

// Reads up to `limit` bytes from `in` in pieces of at most kPieceSize bytes
// and hands each to `onPiece(unsigned char* piece, std::size_t n)`, which
// returns false to stop. Every piece lands at `buffer` (room for kPieceSize
// bytes), or, with `advance`, right behind the previous one (room for `limit`
// bytes). Ends when `limit` bytes were read, `in` runs dry or `onPiece` stops;
// a read of zero bytes is never asked for, so reaching `limit` leaves `in`'s
// flags as they were. Returns the number of bytes read.
template <typename OnPiece>
std::int64_t ReadPieces(std::istream& in, std::int64_t limit, unsigned char* buffer,
                        OnPiece&& onPiece, bool advance = false) {
  std::int64_t taken = 0;
  while (taken < limit) {
    const auto want =
        static_cast<std::streamsize>(std::min<std::int64_t>(limit - taken, kPieceSize));
    unsigned char* piece = advance ? buffer + taken : buffer;
    in.read(reinterpret_cast<char*>(piece), want);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    taken += got;
    if (!onPiece(piece, static_cast<std::size_t>(got))) break;
    if (got < want) break;
  }
  return taken;
}

// Returns true when a read from `in` failed for another reason than its end
// (a read error of the device or the stream buffer): unlike a payload cut
// short, that is never a container read to its end.
inline bool ReadFailed(const std::istream& in) {
  return in.bad() || (in.fail() && !in.eof());
}

// Runs `body` (returning bool) and turns a stream exception into false: a
// caller's stream may have exceptions() enabled, and the library never throws
// on bad input. Whatever `body` owns is released by its own destructors.
template <typename Body>
bool WithoutStreamExceptions(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::ios_base::failure&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
