#include "utils/crypto/ContainerCipher.h"

#include <climits>

namespace ZQ::RVL::Utils::Crypto::internal {

ContainerCipher::ContainerCipher(Direction direction, const unsigned char (&iv)[8])
    : ctx_(NewBlowfishCbc(direction, iv)) {}

int ContainerCipher::Update(const unsigned char* in, std::size_t n, unsigned char* out) noexcept {
  if (!ctx_ || n > static_cast<std::size_t>(INT_MAX - 8)) return -1;
  int produced = 0;
  if (EVP_CipherUpdate(ctx_.get(), out, &produced, in, static_cast<int>(n)) != 1) return -1;
  return produced;
}

int ContainerCipher::Final(unsigned char* out) noexcept {
  if (!ctx_) return -1;
  int produced = 0;
  if (EVP_CipherFinal_ex(ctx_.get(), out, &produced) != 1) return -1;
  return produced;
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
