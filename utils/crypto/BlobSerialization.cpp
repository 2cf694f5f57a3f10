// Byte blobs in memory written into streams as containers and read back into
// new arrays owned by the caller.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <istream>
#include <memory>
#include <new>
#include <ostream>

#include "utils/crypto/Constants.h"
#include "utils/crypto/ContainerCipher.h"
#include "utils/crypto/ContainerHeader.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/LightScramble.h"
#include "utils/crypto/StreamIo.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using internal::ContainerCipher;
using internal::Direction;
using internal::kBlowfishBlockSize;
using internal::kPieceSize;

// Hands `n` bytes at `blob` to `onPiece(const unsigned char*, std::size_t)` in
// pieces of at most kPieceSize; stops when it returns false.
template <typename OnPiece>
bool ForEachPiece(const unsigned char* blob, std::size_t n, OnPiece&& onPiece) {
  for (std::size_t offset = 0; offset < n; offset += kPieceSize) {
    if (!onPiece(blob + offset, std::min(kPieceSize, n - offset))) return false;
  }
  return true;
}

bool WriteBytes(std::ostream& out, const unsigned char* bytes, std::size_t n) {
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
  return !out.fail();
}

bool EncryptBlob(const unsigned char* blob, std::size_t n, const unsigned char (&iv)[8],
                 std::ostream& out) {
  ContainerCipher cipher(Direction::kEncrypt, iv);
  unsigned char produced[kPieceSize + kBlowfishBlockSize];
  const bool body = ForEachPiece(blob, n, [&](const unsigned char* piece, std::size_t size) {
    const int m = cipher.Update(piece, size, produced);
    return m >= 0 && WriteBytes(out, produced, static_cast<std::size_t>(m));
  });
  if (!body) return false;
  const int m = cipher.Final(produced);
  return m >= 0 && WriteBytes(out, produced, static_cast<std::size_t>(m));
}

// Bytes left in a seekable stream from its current position, or -1 when the
// stream cannot tell. The position is restored.
std::int64_t RemainingBytes(std::istream& in) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return -1;
  const std::streampos here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
  if (here == std::streampos(-1)) return -1;
  const std::streampos end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
  buffer->pubseekpos(here, std::ios::in);
  if (end == std::streampos(-1) || end < here) return -1;
  return static_cast<std::int64_t>(end - here);
}

// A light payload cut short still reads back (zero-filled), but a size field
// that claims far more than a seekable stream holds would only make the reader
// allocate and zero memory for bytes that cannot come: refused as hostile.
constexpr std::int64_t kLightShortfallLimit = std::int64_t{64} << 10;

bool HostileLightSize(std::istream& in, int n) {
  const std::int64_t remaining = RemainingBytes(in);
  return remaining >= 0 && n - remaining > kLightShortfallLimit;
}

// Size of the full-form result array for a size field of `n`: the padded
// cipher length, or, when a seekable stream holds fewer bytes, just enough for
// what it can deliver (decryption never yields more than it reads).
std::size_t FullArraySize(std::istream& in, int n) {
  const std::int64_t capacity = internal::CipherLength(n);
  const std::int64_t remaining = RemainingBytes(in);
  if (remaining < 0 || remaining >= capacity) return static_cast<std::size_t>(capacity);
  const auto block = static_cast<std::int64_t>(kBlowfishBlockSize);
  return static_cast<std::size_t>((remaining + block) / block * block);
}

// Decrypts up to `limit` cipher bytes of `in` into `array` (room for
// `arraySize` bytes). Returns the number of plain bytes, or -1 on failure.
std::int64_t DecryptInto(std::istream& in, std::int64_t limit, const unsigned char (&iv)[8],
                         unsigned char* array, std::size_t arraySize) {
  ContainerCipher cipher(Direction::kDecrypt, iv);
  unsigned char piece[kPieceSize];
  unsigned char produced[kPieceSize + kBlowfishBlockSize];
  std::size_t count = 0;
  auto deliver = [&](int m) {
    if (m < 0 || static_cast<std::size_t>(m) > arraySize - count) return false;
    std::memcpy(array + count, produced, static_cast<std::size_t>(m));
    count += static_cast<std::size_t>(m);
    return true;
  };
  bool ok = true;
  internal::ReadPieces(in, limit, piece, [&](unsigned char* bytes, std::size_t n) {
    ok = deliver(cipher.Update(bytes, n, produced));
    return ok;
  });
  if (!ok || !deliver(cipher.Final(produced))) return -1;
  return static_cast<std::int64_t>(count);
}

// Reads up to `length` bytes into `array` (zeroed, room for length + 1) and
// descrambles what arrived; bytes the stream did not deliver stay zero.
void ReadLightPayload(std::istream& in, unsigned char* array, int length) {
  // Pieces are multiples of 16 bytes, so each starts the pattern in phase.
  internal::ReadPieces(
      in, length, array,
      [](unsigned char* piece, std::size_t n) {
        internal::ScrambleLight(piece, n);
        return true;
      },
      /*advance=*/true);
}

}  // namespace

bool SerializeImpl(const unsigned char* blob, int length, std::ostream& out, bool light) {
  return internal::WithoutStreamExceptions([&] {
    if (length <= 0 || blob == nullptr) return false;
    if (!light && !internal::BlowfishAvailable()) return false;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::WriteHeader(out, length, iv, light)) return false;
    if (light) {
      SerializeLightImpl(blob, length, out);
      return !out.fail();
    }
    return EncryptBlob(blob, static_cast<std::size_t>(length), iv, out);
  });
}

void SerializeLightImpl(const unsigned char* blob, int length, std::ostream& out) {
  if (length <= 0 || blob == nullptr) return;
  internal::WithoutStreamExceptions([&] {
    unsigned char work[kPieceSize];
    return ForEachPiece(blob, static_cast<std::size_t>(length),
                        [&](const unsigned char* piece, std::size_t n) {
                          std::memcpy(work, piece, n);
                          internal::ScrambleLight(work, n);
                          return WriteBytes(out, work, n);
                        });
  });
}

bool DeserializeImpl(std::istream& in, unsigned char*& blob, int& length, bool light) {
  return internal::WithoutStreamExceptions([&] {
    length = 0;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::ReadHeader(in, length, iv, light)) return false;
    const int n = length;
    // Negative sizes and sizes whose array would not fit an int are hostile.
    if (n < 0 || (light ? n == INT_MAX : internal::CipherLength(n) > INT_MAX)) return false;
    if (light) {
      if (HostileLightSize(in, n)) return false;
      std::unique_ptr<unsigned char[]> array(
          new (std::nothrow) unsigned char[static_cast<std::size_t>(n) + 1]());
      if (!array) return false;
      ReadLightPayload(in, array.get(), n);
      if (internal::ReadFailed(in)) return false;
      blob = array.release();
      return true;
    }
    if (!internal::BlowfishAvailable()) return false;
    // The array is owned here until it is handed over, so a stream exception
    // thrown midway releases it.
    const std::size_t arraySize = FullArraySize(in, n);
    std::unique_ptr<unsigned char[]> array(new (std::nothrow) unsigned char[arraySize]);
    if (!array) return false;
    blob = nullptr;
    const std::int64_t count =
        DecryptInto(in, internal::CipherLength(n), iv, array.get(), arraySize);
    if (count < 0 || internal::ReadFailed(in)) return false;
    blob = array.release();
    length = static_cast<int>(count);
    return true;
  });
}

void DeserializeLightImpl(std::istream& in, unsigned char*& blob, int length) {
  blob = nullptr;
  if (length < 0 || length == INT_MAX) return;
  std::unique_ptr<unsigned char[]> array(
      new (std::nothrow) unsigned char[static_cast<std::size_t>(length) + 1]());
  if (!array) return;
  internal::WithoutStreamExceptions([&] {
    ReadLightPayload(in, array.get(), length);
    return true;
  });
  blob = array.release();
}

int SerializedLengthImpl(int length) {
  // In 64 bits, truncating toward zero as the 32-bit formula does.
  const std::int64_t total = (static_cast<std::int64_t>(length) + 8) / 8 * 8 +
                             static_cast<std::int64_t>(internal::kFullHeaderSize);
  return total > INT_MAX ? -1 : static_cast<int>(total);
}

}  // namespace ZQ::RVL::Utils::Crypto
