// The private AES block transform: its CPU-instruction path against OpenSSL's.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

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

// With no usable AES (a transform that fails after writing part of the
// block), the block ends up all zero: never plain text that passes for cipher
// text, nor half of a result.
TEST(BufferCipher, FailsClosedWithoutAnUsableAes) {
  const internal::AesTransform failing = [](unsigned char* block, const unsigned char*,
                                            internal::Direction) noexcept {
    block[3] ^= 0x5a;
    return false;
  };
  const unsigned char key[16] = {1, 2, 3};
  for (auto direction : {internal::Direction::kEncrypt, internal::Direction::kDecrypt}) {
    unsigned char block[20];
    std::memset(block, 'p', sizeof block);
    EXPECT_FALSE(internal::AesBlockOrZero(block, key, direction, failing));
    EXPECT_EQ(0, std::memcmp(block, std::string(16, '\0').data(), 16));
    EXPECT_EQ(0, std::memcmp(block + 16, "pppp", 4)) << "bytes from 16 on are not touched";
    std::memset(block, 'p', 16);
    EXPECT_TRUE(internal::AesBlockOrZero(block, key, direction));
    EXPECT_NE(0, std::memcmp(block, "pppppppppppppppp", 16));
  }
}
