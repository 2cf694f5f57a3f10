#include "utils/crypto/LightScramble.h"

#include <cstdint>
#include <cstring>

#include "utils/crypto/Constants.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

// The pattern twice over, so that any phase can be read as 16 contiguous bytes.
struct DoubledPattern {
  unsigned char bytes[32];
  constexpr DoubledPattern() : bytes{} {
    for (std::size_t i = 0; i < 32; ++i) bytes[i] = gcGlobalLightCryptoKey[i % 16];
  }
};
constexpr DoubledPattern kDoubled;

}  // namespace

void ScrambleLight(unsigned char* data, std::size_t n, std::size_t phase) noexcept {
  const unsigned char* pattern = kDoubled.bytes + (phase & 15);
  std::uint64_t lo;
  std::uint64_t hi;
  std::memcpy(&lo, pattern, 8);
  std::memcpy(&hi, pattern + 8, 8);
  // Whole 16-byte runs as two 64-bit words (the compiler widens this to
  // vector registers); the pattern stays in phase across them.
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, data + i + 8, 8);
    a ^= lo;
    b ^= hi;
    std::memcpy(data + i, &a, 8);
    std::memcpy(data + i + 8, &b, 8);
  }
  for (; i < n; ++i) data[i] ^= pattern[i & 15];
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
