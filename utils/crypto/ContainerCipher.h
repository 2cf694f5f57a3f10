// The Blowfish-CBC step of the full-form container, shared by every writer and
// reader. Private to utils/crypto.
#pragma once

#include <cstddef>

#include "utils/crypto/OpenSslRuntime.h"

namespace ZQ::RVL::Utils::Crypto::internal {

// One container's cipher: Blowfish-CBC under the built-in key with the
// container's IV, PKCS #7 padding on. Owns its context; not thread-safe.
class ContainerCipher {
 public:
  // Sets up the cipher; Ready() is false when Blowfish is unavailable.
  ContainerCipher(Direction direction, const unsigned char (&iv)[8]);

  bool Ready() const noexcept { return ctx_ != nullptr; }

  // Passes `n` bytes through the cipher into `out`, which has room for n + 8
  // bytes. Returns the number of bytes produced, or -1 when the cipher fails
  // or is not ready.
  int Update(const unsigned char* in, std::size_t n, unsigned char* out) noexcept;

  // Finishes: encrypting, writes the last block with its padding; decrypting,
  // checks and strips the padding. `out` has room for 8 bytes. Returns the
  // number of bytes produced, or -1 (a wrong padding, a ciphertext whose
  // length is not a multiple of 8, or a cipher not ready).
  int Final(unsigned char* out) noexcept;

  // Frees the context and its key schedule; Ready() is false afterwards.
  void Release() noexcept { ctx_.reset(); }

 private:
  CipherCtxPtr ctx_;
};

}  // namespace ZQ::RVL::Utils::Crypto::internal
