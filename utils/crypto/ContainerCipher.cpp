#include "utils/crypto/ContainerCipher.h"

namespace ZQ::RVL::Utils::Crypto::internal {

ContainerCipher::ContainerCipher(Direction direction, const unsigned char (&iv)[8])
    : ctx_(NewBlowfishCbc(direction, iv)) {}

int ContainerCipher::Update(const unsigned char* in, std::size_t n) noexcept {
  if (!ctx_ || n > kPieceSize) return -1;
  int produced = 0;
  if (EVP_CipherUpdate(ctx_.get(), produced_, &produced, in, static_cast<int>(n)) != 1) return -1;
  return produced;
}

int ContainerCipher::Final() noexcept {
  if (!ctx_) return -1;
  int produced = 0;
  if (EVP_CipherFinal_ex(ctx_.get(), produced_, &produced) != 1) return -1;
  return produced;
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
