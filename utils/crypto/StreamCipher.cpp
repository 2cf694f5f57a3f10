// Containers between streams: StreamEncrypt, StreamDecrypt, StreamPlainSize
// and the light copy.
#include <cstdint>
#include <istream>
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

// Copies up to `limit` bytes from `in` to `out` through the light scramble.
// Every piece but the last is a multiple of 16 bytes, so restarting the pattern
// per piece keeps it counted from the first byte. Stops when `out` fails.
// Returns the number of bytes taken from `in`.
std::int64_t CopyLight(std::istream& in, std::int64_t limit, std::ostream& out) {
  unsigned char piece[kPieceSize];
  return internal::ReadPieces(in, limit, piece, [&out](unsigned char* bytes, std::size_t n) {
    internal::ScrambleLight(bytes, n);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
    return !out.fail();
  });
}

// Passes up to `limit` bytes of `in` through `cipher` into `out` and finishes
// the cipher. `taken` receives the number of bytes read from `in`. Returns
// false when the cipher fails (including its final padding check) or `out`
// fails; what was produced before stays in `out`.
bool CopyThroughCipher(std::istream& in, std::int64_t limit, ContainerCipher& cipher,
                       std::ostream& out, std::int64_t& taken) {
  unsigned char piece[kPieceSize];
  unsigned char produced[kPieceSize + kBlowfishBlockSize];
  bool cipherOk = true;
  auto writeProduced = [&out, &produced](int n) {
    out.write(reinterpret_cast<const char*>(produced), n);
    return !out.fail();
  };
  taken = internal::ReadPieces(in, limit, piece, [&](unsigned char* bytes, std::size_t n) {
    const int m = cipher.Update(bytes, n, produced);
    cipherOk = m >= 0;
    return cipherOk && writeProduced(m);
  });
  if (!cipherOk || out.fail()) return false;
  const int m = cipher.Final(produced);
  return m >= 0 && writeProduced(m);
}

}  // namespace

bool StreamEncrypt(std::istream& in, int size, std::ostream& out, bool light) {
  return internal::WithoutStreamExceptions([&] {
    if (!in.good() || !out.good() || size < 0) return false;
    if (!light && !internal::BlowfishAvailable()) return false;
    unsigned char iv[internal::kIvSize] = {};
    if (!internal::WriteHeader(out, size, iv, light)) return false;
    if (light) return CopyLight(in, size, out) == size && !out.fail();

    ContainerCipher cipher(Direction::kEncrypt, iv);
    std::int64_t taken = 0;
    const bool written = CopyThroughCipher(in, size, cipher, out, taken);
    return written && taken == size;
  });
}

bool StreamDecrypt(std::istream& in, std::ostream& out, bool light) {
  return internal::WithoutStreamExceptions([&] {
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
    std::int64_t taken = 0;
    // A read error at a block boundary could leave bytes that happen to end
    // in valid padding: the stream state tells it from the end.
    return CopyThroughCipher(in, internal::CipherLength(size), cipher, out, taken) &&
           !internal::ReadFailed(in);
  });
}

bool StreamPlainSize(std::istream& in, int& size, bool light) {
  return internal::WithoutStreamExceptions([&] {
    size = 0;
    unsigned char iv[internal::kIvSize] = {};
    return internal::ReadHeader(in, size, iv, light);
  });
}

void StreamEncryptDecryptLight(std::istream& in, int size, std::ostream& out) {
  internal::WithoutStreamExceptions([&] {
    CopyLight(in, size, out);
    return true;
  });
}

}  // namespace ZQ::RVL::Utils::Crypto
