// The crypto subsystem's private OpenSSL state: a library context of its own
// with the "default" and "legacy" providers, so that the host application's
// default context is never changed. Private to utils/crypto.
//
// Thread-safety: everything here may be called from any thread; the runtime is
// built once, on first use.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstddef>
#include <memory>

namespace ZQ::RVL::Utils::Crypto::internal {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
// Owns one EVP cipher context; freeing it also wipes the key schedule it holds.
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// While it lives, OpenSSL errors raised on this thread stay out of the
// caller's sight: on the way out every entry pushed since it was made is
// removed, and whatever the caller had queued before stays as it was.
class ErrorQueueMark {
 public:
  ErrorQueueMark() noexcept { ERR_set_mark(); }
  ~ErrorQueueMark() { ERR_pop_to_mark(); }
  ErrorQueueMark(const ErrorQueueMark&) = delete;
  ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
};

enum class Direction { kEncrypt, kDecrypt };

// Returns a new Blowfish-CBC context keyed with the built-in key for
// `direction`, with `iv` as its initialisation vector and PKCS #7 padding on.
// Copies a context keyed once per process, so the key schedule is not rebuilt
// per container. Returns null when Blowfish is unavailable (no legacy provider)
// or OpenSSL fails.
CipherCtxPtr NewBlowfishCbc(Direction direction, const unsigned char (&iv)[8]);

// Returns true when Blowfish-CBC could be set up in the private context.
bool BlowfishAvailable();

// Returns AES-128-ECB fetched from the private context, or null.
const EVP_CIPHER* Aes128Ecb();

}  // namespace ZQ::RVL::Utils::Crypto::internal
