#include "utils/crypto/KeyPair.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "utils/crypto/Constants.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

struct LibCtxDeleter {
  void operator()(OSSL_LIB_CTX* context) const noexcept { OSSL_LIB_CTX_free(context); }
};
struct MdDeleter {
  void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};

}  // namespace

bool KeyPairIsDefault() {
  return internal::gcKeyPairIsDefault;
}

std::string KeyPairFingerprint() {
  unsigned char pair[32];
  std::memcpy(pair, internal::gcGlobalCryptoKey, 16);
  std::memcpy(pair + 16, internal::gcGlobalLightCryptoKey, 16);
  // A library context of its own, so the host's default one is not touched.
  ERR_set_mark();
  const std::unique_ptr<OSSL_LIB_CTX, LibCtxDeleter> context(OSSL_LIB_CTX_new());
  const std::unique_ptr<EVP_MD, MdDeleter> sha256(
      context ? EVP_MD_fetch(context.get(), "SHA2-256", nullptr) : nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok =
      sha256 && EVP_Digest(pair, sizeof pair, digest, &length, sha256.get(), nullptr) == 1;
  ERR_pop_to_mark();
  if (!ok || length < 4) return {};
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
  return text;
}

}  // namespace ZQ::RVL::Utils::Crypto
