#include "utils/crypto/KeyPair.h"

#include <cstdio>
#include <cstring>

#include "utils/crypto/Constants.h"
#include "utils/runtime/Sha256.h"

namespace ZQ::RVL::Utils::Crypto {

bool KeyPairIsDefault() {
  return internal::gcKeyPairIsDefault;
}

std::string KeyPairFingerprint() {
  unsigned char pair[32];
  std::memcpy(pair, internal::gcGlobalCryptoKey, 16);
  std::memcpy(pair + 16, internal::gcGlobalLightCryptoKey, 16);
  unsigned char digest[32];
  Utils::internal::Sha256(pair, sizeof pair, digest);
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
  return text;
}

}  // namespace ZQ::RVL::Utils::Crypto
