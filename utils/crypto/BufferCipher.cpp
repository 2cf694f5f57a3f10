// The buffer cipher (AES-128 on one block) and the light scramble on a buffer.
#include "utils/crypto/AesBlock.h"
#include "utils/crypto/Constants.h"
#include "utils/crypto/Crypto.h"
#include "utils/crypto/LightScramble.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

constexpr int kAesBlockSize = 16;

void TransformBlock(char* data, int length, const char (&key)[16], bool light,
                    internal::Direction direction) {
  // The light flag selects no AES; a buffer shorter than a block is refused
  // rather than read or written past its end.
  if (light || data == nullptr || length < kAesBlockSize) return;
  internal::AesBlockOrZero(reinterpret_cast<unsigned char*>(data),
                           reinterpret_cast<const unsigned char*>(key), direction);
}

const char (&BuiltInKey(bool light))[16] {
  static_assert(sizeof internal::gcGlobalCryptoKey == 16 &&
                sizeof internal::gcGlobalLightCryptoKey == 16);
  return reinterpret_cast<const char(&)[16]>(light ? internal::gcGlobalLightCryptoKey
                                                   : internal::gcGlobalCryptoKey);
}

}  // namespace

void Encrypt(char* data, int length, const char (&key)[16], bool light) {
  TransformBlock(data, length, key, light, internal::Direction::kEncrypt);
}

void Decrypt(char* data, int length, const char (&key)[16], bool light) {
  TransformBlock(data, length, key, light, internal::Direction::kDecrypt);
}

void Encrypt(char* data, int length, bool light) {
  Encrypt(data, length, BuiltInKey(light), light);
}

void Decrypt(char* data, int length, bool light) {
  Decrypt(data, length, BuiltInKey(light), light);
}

void EncryptDecryptLight(char* data, int length) {
  if (data == nullptr || length <= 0) return;
  internal::ScrambleLight(reinterpret_cast<unsigned char*>(data), static_cast<std::size_t>(length));
}

}  // namespace ZQ::RVL::Utils::Crypto
