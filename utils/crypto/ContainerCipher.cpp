#include "utils/crypto/ContainerCipher.h"

#include <new>

namespace ZQ::RVL::Utils::Crypto::internal {

ContainerCipher::ContainerCipher(Direction direction, const unsigned char (&iv)[8])
    : buffers_(new (std::nothrow) Buffers),
      ctx_(buffers_ ? Utils::internal::NewBlowfishCbc(direction, iv) : nullptr) {}

// An update takes no lock and raises no error (Blowfish-CBC on whole
// pieces), so it runs outside a stretch: the caller's I/O between pieces
// never holds a fork back.
int ContainerCipher::Update(const unsigned char* in, std::size_t n) noexcept {
  if (!Ready() || n > kPieceSize) return -1;
  int produced = 0;
  if (EVP_CipherUpdate(ctx_.get(), buffers_->produced, &produced, in, static_cast<int>(n)) != 1) {
    return -1;
  }
  return produced;
}

// A wrong padding raises an error: in a stretch.
int ContainerCipher::Final() noexcept {
  const Utils::internal::OpenSslStretch stretch;
  if (!Ready() || !stretch.Open()) return -1;
  int produced = 0;
  if (EVP_CipherFinal_ex(ctx_.get(), buffers_->produced, &produced) != 1) return -1;
  return produced;
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
