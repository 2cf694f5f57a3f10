#include "utils/crypto/ContainerHeader.h"

#include <cstring>
#include <istream>
#include <ostream>

#include "utils/crypto/Constants.h"
#include "utils/crypto/IvSource.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

void EncodeSize(int size, char (&field)[kSizeFieldSize]) {
  const auto value = static_cast<std::uint32_t>(size);
  for (std::size_t i = 0; i < kSizeFieldSize; ++i) {
    field[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
  }
}

int DecodeSize(const char (&field)[kSizeFieldSize]) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < kSizeFieldSize; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(field[i])) << (8 * i);
  }
  std::int32_t size;
  std::memcpy(&size, &value, sizeof size);  // two's complement, without overflow
  return size;
}

}  // namespace

bool WriteHeader(std::ostream& out, int size, unsigned char (&iv)[8], bool light) {
  // The IV first: a random source that fails leaves nothing written, not a
  // header without its container in a stream of them.
  if (!light && !DrawIv(iv)) return false;
  char field[kSizeFieldSize];
  EncodeSize(size, field);
  out.write(gcMagic, kMagicSize);
  out.write(field, kSizeFieldSize);
  if (!light) out.write(reinterpret_cast<const char*>(iv), kIvSize);
  return !out.fail();
}

bool ReadHeader(std::istream& in, int& size, unsigned char (&iv)[8], bool light) {
  char magic[kMagicSize] = {};
  in.read(magic, kMagicSize);
  if (std::memcmp(magic, gcMagic, kMagicSize) != 0) return false;

  size = 0;
  char field[kSizeFieldSize] = {};
  in.read(field, kSizeFieldSize);
  if (!in.good()) return false;
  size = DecodeSize(field);
  if (size < 0) return false;  // no writer makes one
  if (light) return true;

  unsigned char readIv[kIvSize] = {};
  in.read(reinterpret_cast<char*>(readIv), kIvSize);
  if (!in.good()) return false;
  std::memcpy(iv, readIv, kIvSize);
  return true;
}

std::int64_t CipherLength(int plainSize) noexcept {
  if (plainSize < 0) return 0;
  const auto block = static_cast<std::int64_t>(kBlowfishBlockSize);
  return (static_cast<std::int64_t>(plainSize) + block) / block * block;
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
