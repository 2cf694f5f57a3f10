// Containers between streams: StreamEncrypt, StreamDecrypt, StreamPlainSize
// and the light copy.
#include <cstdint>
#include <istream>
#include <ostream>

#include "utils/crypto/Constants.h"
#include "utils/crypto/ContainerCipher.h"
#include "utils/crypto/ContainerHeader.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/StreamIo.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using internal::ContainerCipher;
using internal::Direction;

// Copies up to `limit` bytes from `in` to `out` through the light scramble;
// stops when `out` fails. Returns the number of bytes taken from `in`.
std::int64_t CopyLight(std::istream& in, std::int64_t limit, std::ostream& out) {
  const auto piece = internal::NewPiece();
  return internal::ReadLight(
      in, limit, [&piece](std::int64_t, std::size_t) { return piece.get(); },
      [&out](unsigned char* bytes, std::size_t n) { return internal::WriteBytes(out, bytes, n); });
}

// Passes up to `limit` bytes of `in` through `cipher` into `out` and finishes
// the cipher. Returns the number of bytes taken from `in`, or -1 when the
// cipher (including its final padding check) or `out` failed; what was
// produced before stays in `out`.
std::int64_t CopyThroughCipher(std::istream& in, std::int64_t limit, ContainerCipher& cipher,
                               std::ostream& out) {
  std::int64_t taken = 0;
  const auto write = [&out](const unsigned char* bytes, std::size_t n) {
    return internal::WriteBytes(out, bytes, n);
  };
  const bool passed = cipher.Pass(
      [&](auto&& onPiece) { taken = internal::ReadPieces(in, limit, cipher.Piece(), onPiece); },
      write);
  if (!passed || !cipher.Finish(write)) return -1;
  return taken;
}

}  // namespace

bool StreamEncrypt(std::istream& in, int size, std::ostream& out, bool light) {
  return internal::StreamFailureAsFalse(&in, [&] {
    if (!in.good() || !out.good() || size < 0) return false;
    if (!light && !internal::BlowfishAvailable()) return false;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::WriteHeader(out, size, iv, light)) return false;
    if (light) return CopyLight(in, size, out) == size && !out.fail();
    ContainerCipher cipher(Direction::kEncrypt, iv);
    return CopyThroughCipher(in, size, cipher, out) == size;
  });
}

bool StreamDecrypt(std::istream& in, std::ostream& out, bool light) {
  return internal::StreamFailureAsFalse(&in, [&] {
    if (!in.good() || !out.good()) return false;
    if (!light && !internal::BlowfishAvailable()) return false;
    int size = 0;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::ReadHeader(in, size, iv, light)) return false;
    if (light) {
      CopyLight(in, size, out);  // a payload cut short is delivered as it is
      return !out.fail() && !internal::ReadFailed(in);
    }
    ContainerCipher cipher(Direction::kDecrypt, iv);
    // A read error at a block boundary could leave bytes that happen to end
    // in valid padding: the stream state tells it from the end.
    return CopyThroughCipher(in, internal::CipherLength(size), cipher, out) >= 0 &&
           !internal::ReadFailed(in);
  });
}

bool StreamPlainSize(std::istream& in, int& size, bool light) {
  return internal::StreamFailureAsFalse(&in, [&] {
    size = 0;
    unsigned char iv[internal::kIvSize] = {};
    return internal::ReadHeader(in, size, iv, light);
  });
}

void StreamEncryptDecryptLight(std::istream& in, int size, std::ostream& out) {
  internal::StreamFailureAsFalse(&in, [&] {
    CopyLight(in, size, out);
    return true;
  });
}

}  // namespace ZQ::RVL::Utils::Crypto
