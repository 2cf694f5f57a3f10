// The private AES block transform: its CPU-instruction path against OpenSSL's.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "utils/crypto/AesBlock.h"

namespace internal = ZQ::RVL::Utils::Crypto::internal;

// The CPU-instruction path and OpenSSL's AES agree on random keys and blocks,
// in both directions.
TEST(BufferCipher, AgreesWithOpenSslOnRandomKeys) {
  std::mt19937 random(20261209);
  for (int trial = 0; trial < 2000; ++trial) {
    unsigned char key[16];
    unsigned char block[16];
    for (auto& b : key) b = static_cast<unsigned char>(random());
    for (auto& b : block) b = static_cast<unsigned char>(random());
    for (auto direction : {internal::Direction::kEncrypt, internal::Direction::kDecrypt}) {
      unsigned char fast[16];
      unsigned char reference[16];
      std::memcpy(fast, block, 16);
      std::memcpy(reference, block, 16);
      ASSERT_TRUE(internal::AesBlock(fast, key, direction));
      ASSERT_TRUE(internal::AesBlockOpenSsl(reference, key, direction));
      ASSERT_EQ(0, std::memcmp(fast, reference, 16)) << "trial " << trial;
    }
  }
}
