#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "utils/crypto/Constants.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace internal = ZQ::RVL::Utils::Crypto::internal;

namespace {

using Block = std::array<char, 16>;

Block FromHex(const char* hex) {
  Block block{};
  for (std::size_t i = 0; i < 16; ++i) {
    block[i] = static_cast<char>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return block;
}

const char (&AsKey(const Block& block))[16] {
  return reinterpret_cast<const char(&)[16]>(*block.data());
}

}  // namespace

// The worked AES-128 example of FIPS-197 (appendix C.1).
TEST(BufferCipher, MatchesFips197Example) {
  const Block key = FromHex("000102030405060708090a0b0c0d0e0f");
  const Block plain = FromHex("00112233445566778899aabbccddeeff");
  const Block cipher = FromHex("69c4e0d86a7b0430d8cdb78070b4c55a");

  Block data = plain;
  Crypto::Encrypt(data.data(), 16, AsKey(key), false);
  EXPECT_EQ(data, cipher);
  Crypto::Decrypt(data.data(), 16, AsKey(key), false);
  EXPECT_EQ(data, plain);
}

TEST(BufferCipher, TransformsOnlyTheFirstBlock) {
  const Block key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  char data[32];
  for (int i = 0; i < 32; ++i) data[i] = static_cast<char>(i * 7);
  char original[32];
  std::memcpy(original, data, sizeof data);

  Crypto::Encrypt(data, 32, AsKey(key), false);
  EXPECT_NE(0, std::memcmp(data, original, 16));
  EXPECT_EQ(0, std::memcmp(data + 16, original + 16, 16));
  Crypto::Decrypt(data, 32, AsKey(key), false);
  EXPECT_EQ(0, std::memcmp(data, original, 32));
}

TEST(BufferCipher, RefusesShortBuffersAndTheLightFlag) {
  const Block key = FromHex("000102030405060708090a0b0c0d0e0f");
  // A 15-byte buffer in the middle of a guarded array: nothing may change.
  char guarded[17] = "abcdefghijklmnop";
  const std::string before(guarded, 17);
  for (int length : {15, 1, 0, -1, -16}) {
    Crypto::Encrypt(guarded + 1, length, AsKey(key), false);
    Crypto::Decrypt(guarded + 1, length, AsKey(key), false);
    Crypto::Encrypt(guarded + 1, length, false);
    Crypto::Decrypt(guarded + 1, length, false);
  }
  Crypto::Encrypt(guarded, 16, AsKey(key), true);
  Crypto::Decrypt(guarded, 16, true);
  EXPECT_EQ(before, std::string(guarded, 17));
}

TEST(BufferCipher, KeylessUsesTheBuiltInKey) {
  Block keyless = FromHex("00112233445566778899aabbccddeeff");
  Block keyed = keyless;
  Block builtIn{};
  std::memcpy(builtIn.data(), internal::gcGlobalCryptoKey, 16);

  Crypto::Encrypt(keyless.data(), 16, false);
  Crypto::Encrypt(keyed.data(), 16, AsKey(builtIn), false);
  EXPECT_EQ(keyless, keyed);
  Crypto::Decrypt(keyless.data(), 16, false);
  EXPECT_EQ(keyless, FromHex("00112233445566778899aabbccddeeff"));
}

TEST(EncryptDecryptLight, XorsWithThePatternFromTheFirstByte) {
  char data[40];
  for (int i = 0; i < 40; ++i) data[i] = static_cast<char>(0xa0 + i);
  char original[40];
  std::memcpy(original, data, sizeof data);

  // Odd lengths exercise both the 16-byte runs and the tail.
  for (int length : {20, 33, 40, 1}) {
    Crypto::EncryptDecryptLight(data, length);
    for (int i = 0; i < 40; ++i) {
      const auto expected =
          i < length ? static_cast<char>(original[i] ^ internal::gcGlobalLightCryptoKey[i % 16])
                     : original[i];
      ASSERT_EQ(expected, data[i]) << "length " << length << " byte " << i;
    }
    Crypto::EncryptDecryptLight(data, length);
    ASSERT_EQ(0, std::memcmp(data, original, sizeof data));
  }
}

TEST(EncryptDecryptLight, IgnoresEmptyAndNegativeLengths) {
  char data[16] = "unchanged bytes";
  Crypto::EncryptDecryptLight(data, 0);
  Crypto::EncryptDecryptLight(data, -5);
  EXPECT_STREQ("unchanged bytes", data);
}
