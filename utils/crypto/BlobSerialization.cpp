// Byte blobs in memory written into streams as containers and read back into
// new arrays owned by the caller.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <istream>
#include <ostream>

#include "utils/crypto/BlobArray.h"
#include "utils/crypto/Constants.h"
#include "utils/crypto/ContainerCipher.h"
#include "utils/crypto/ContainerHeader.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/LightScramble.h"
#include "utils/crypto/StreamIo.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using internal::BlobArray;
using internal::ContainerCipher;
using internal::Direction;
using internal::kBlowfishBlockSize;
using internal::kPieceSize;
using internal::kShortfallSlack;

// Hands `n` bytes at `blob` to `onPiece(const unsigned char*, std::size_t)` in
// pieces of at most kPieceSize; stops when it returns false.
template <typename OnPiece>
bool ForEachPiece(const unsigned char* blob, std::size_t n, OnPiece&& onPiece) {
  for (std::size_t offset = 0; offset < n; offset += kPieceSize) {
    if (!onPiece(blob + offset, std::min(kPieceSize, n - offset))) return false;
  }
  return true;
}

// How much of a result array of `arraySize` bytes to allocate before reading:
// all of it when it is small, or when the stream is sure to deliver the
// `needed` bytes that fill it (it has them at hand, or a seekable stream holds
// them); else nothing, and the array grows with the bytes that arrive.
std::size_t Reservation(std::istream& in, std::int64_t needed, std::size_t arraySize) {
  if (arraySize <= kShortfallSlack || internal::CertainBytes(in) >= needed) return arraySize;
  return internal::RemainingBytes(in) >= needed ? arraySize : 0;
}

// Reads a light payload of `n` bytes into a new array of n + 1 bytes, zero
// where the stream delivered nothing. Returns null when the stream fails
// other than at its end, delivers more than kShortfallSlack bytes fewer than
// `n` (a seekable stream is asked before anything is read), or memory runs out.
unsigned char* ReadLightArray(std::istream& in, int n) {
  const auto size = static_cast<std::size_t>(n);
  if (size > kShortfallSlack) {
    const std::int64_t remaining = internal::RemainingBytes(in);
    if (remaining >= 0 && n - remaining > static_cast<std::int64_t>(kShortfallSlack)) {
      return nullptr;
    }
  }
  BlobArray array(size + 1, Reservation(in, n, size + 1));
  const std::int64_t taken = internal::ReadLight(
      in, n, [&array](std::int64_t, std::size_t want) { return array.Room(want); },
      [&array](unsigned char*, std::size_t got) {
        array.Commit(got);
        return true;
      });
  const bool cutByTheEnd = taken == n || in.eof();
  if (!cutByTheEnd || internal::ReadFailed(in) ||
      size - static_cast<std::size_t>(taken) > kShortfallSlack) {
    return nullptr;
  }
  return array.Release(size + 1);
}

// Decrypts the full-form payload of a size field `n` from `in` into a new
// array; `count` receives the number of plain bytes. The array holds the
// padded cipher length, or, when the stream delivers fewer cipher bytes, the
// next multiple of 8 above what it delivered. Returns null when the cipher, a
// read or memory fails.
unsigned char* DecryptArray(std::istream& in, int n, const unsigned char (&iv)[8], int& count) {
  const std::int64_t cipherLength = internal::CipherLength(n);
  const auto limit = static_cast<std::size_t>(cipherLength);
  BlobArray plain(limit, Reservation(in, cipherLength, limit));
  ContainerCipher cipher(Direction::kDecrypt, iv);
  std::int64_t taken = 0;
  const auto append = [&plain](const unsigned char* bytes, std::size_t m) {
    return plain.Append(bytes, m);
  };
  const bool passed = cipher.Pass(
      [&](auto&& onPiece) {
        taken = internal::ReadPieces(in, cipherLength, cipher.Piece(), onPiece);
      },
      append);
  if (!passed || internal::ReadFailed(in) || !cipher.Finish(append)) return nullptr;
  const auto block = static_cast<std::int64_t>(kBlowfishBlockSize);
  count = static_cast<int>(plain.Size());
  return plain.Release(
      static_cast<std::size_t>(std::min(cipherLength, (taken + block) / block * block)));
}

}  // namespace

bool SerializeImpl(const unsigned char* blob, int length, std::ostream& out, bool light) {
  return internal::StreamFailureAsFalse(nullptr, [&] {
    if (length <= 0 || blob == nullptr) return false;
    if (!light && !internal::BlowfishAvailable()) return false;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::WriteHeader(out, length, iv, light)) return false;
    if (light) {
      SerializeLightImpl(blob, length, out);
      return !out.fail();
    }
    ContainerCipher cipher(Direction::kEncrypt, iv);
    const auto write = [&out](const unsigned char* bytes, std::size_t n) {
      return internal::WriteBytes(out, bytes, n);
    };
    return cipher.Pass(
               [&](auto&& onPiece) {
                 ForEachPiece(blob, static_cast<std::size_t>(length), onPiece);
               },
               write) &&
           cipher.Finish(write);
  });
}

void SerializeLightImpl(const unsigned char* blob, int length, std::ostream& out) {
  if (length <= 0 || blob == nullptr) return;
  internal::StreamFailureAsFalse(nullptr, [&] {
    const auto work = internal::NewPiece();
    return ForEachPiece(blob, static_cast<std::size_t>(length),
                        [&](const unsigned char* piece, std::size_t n) {
                          std::memcpy(work.get(), piece, n);
                          internal::ScrambleLight(work.get(), n);
                          return internal::WriteBytes(out, work.get(), n);
                        });
  });
}

bool DeserializeImpl(std::istream& in, unsigned char*& blob, int& length, bool light) {
  return internal::StreamFailureAsFalse(&in, [&] {
    length = 0;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::ReadHeader(in, length, iv, light)) return false;
    const int n = length;
    // Negative sizes and sizes whose array would not fit an int are hostile.
    if (n < 0 || (light ? n == INT_MAX : internal::CipherLength(n) > INT_MAX)) return false;
    if (light) {
      unsigned char* array = ReadLightArray(in, n);
      if (array == nullptr) return false;
      blob = array;
      return true;
    }
    if (!internal::BlowfishAvailable()) return false;
    blob = nullptr;
    int count = 0;
    unsigned char* array = DecryptArray(in, n, iv, count);
    if (array == nullptr) return false;
    blob = array;
    length = count;
    return true;
  });
}

void DeserializeLightImpl(std::istream& in, unsigned char*& blob, int length) {
  blob = nullptr;
  if (length < 0 || length == INT_MAX) return;
  internal::StreamFailureAsFalse(&in, [&] {
    blob = ReadLightArray(in, length);
    return blob != nullptr;
  });
}

int SerializedLengthImpl(int length) {
  // In 64 bits, truncating toward zero as the 32-bit formula does.
  const std::int64_t total = (static_cast<std::int64_t>(length) + 8) / 8 * 8 +
                             static_cast<std::int64_t>(internal::kFullHeaderSize);
  return total > INT_MAX ? -1 : static_cast<int>(total);
}

}  // namespace ZQ::RVL::Utils::Crypto
