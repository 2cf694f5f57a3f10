#include "utils/crypto/OpenSslRuntime.h"
#include "utils/file/FileCalls.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <atomic>

#include "utils/crypto/Constants.h"
#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

struct LibCtxDeleter {
  void operator()(OSSL_LIB_CTX* ctx) const noexcept { OSSL_LIB_CTX_free(ctx); }
};
struct ProviderDeleter {
  void operator()(OSSL_PROVIDER* provider) const noexcept { OSSL_PROVIDER_unload(provider); }
};
struct CipherDeleter {
  void operator()(EVP_CIPHER* cipher) const noexcept { EVP_CIPHER_free(cipher); }
};
using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, LibCtxDeleter>;
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, ProviderDeleter>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherDeleter>;

// Returns a Blowfish-CBC context keyed with the built-in key (all 16 bytes),
// ready to be copied and given an IV; null on failure.
CipherCtxPtr NewKeyedTemplate(const EVP_CIPHER* bf, Direction direction) {
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return nullptr;
  const int enc = direction == Direction::kEncrypt ? 1 : 0;
  // Blowfish takes keys of variable length; set 16 bytes before keying.
  if (EVP_CipherInit_ex2(ctx.get(), bf, nullptr, nullptr, enc, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), sizeof gcGlobalCryptoKey) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, gcGlobalCryptoKey, nullptr, enc, nullptr) != 1) {
    return nullptr;
  }
  return ctx;
}

// Set when OpenSSL cleans up at exit: a static object's destructor that runs
// after that (one made before OpenSSL started) must not reach freed state.
std::atomic<bool> gOpenSslGone{false};

void MarkOpenSslGone() {
  gOpenSslGone.store(true);
}

// Members are declared in the order they depend on each other, so that a
// failed set-up releases them in the reverse order: contexts, ciphers,
// providers, library context.
class Runtime {
 public:
  struct Nothing {};
  // The runtime after OpenSSL's cleanup: nothing is available.
  explicit Runtime(Nothing) {}

  Runtime() {
    // Loading a provider opens its module: never on a standard number a
    // host left free, where the host's own writes or dup2 would meet it.
    Utils::internal::files::FillFreeStandardNumbers();
    OPENSSL_atexit(&MarkOpenSslGone);
    libCtx_.reset(OSSL_LIB_CTX_new());
    if (!libCtx_) return;
    defaultProvider_.reset(OSSL_PROVIDER_load(libCtx_.get(), "default"));
    if (!defaultProvider_) return;
    aes128Ecb_.reset(EVP_CIPHER_fetch(libCtx_.get(), "AES-128-ECB", nullptr));
    legacyProvider_.reset(OSSL_PROVIDER_load(libCtx_.get(), "legacy"));
    if (!legacyProvider_) return;
    blowfish_.reset(EVP_CIPHER_fetch(libCtx_.get(), "BF-CBC", nullptr));
    if (!blowfish_) return;
    encryptTemplate_ = NewKeyedTemplate(blowfish_.get(), Direction::kEncrypt);
    decryptTemplate_ = NewKeyedTemplate(blowfish_.get(), Direction::kDecrypt);
  }

  const EVP_CIPHER* Aes() const { return aes128Ecb_.get(); }
  const EVP_CIPHER_CTX* Template(Direction direction) const {
    return direction == Direction::kEncrypt ? encryptTemplate_.get() : decryptTemplate_.get();
  }

 private:
  LibCtxPtr libCtx_;
  ProviderPtr defaultProvider_;
  ProviderPtr legacyProvider_;
  CipherPtr aes128Ecb_;
  CipherPtr blowfish_;
  CipherCtxPtr encryptTemplate_;
  CipherCtxPtr decryptTemplate_;
};

// Built once, on first use, and never destroyed: contexts copied from it may
// outlive every static destructor.
Utils::internal::ProcessWide<Runtime> gRuntime;
Utils::internal::ProcessWide<Runtime> gGone;

const Runtime& TheRuntime() {
  return gOpenSslGone.load() ? gGone.Get(Runtime::Nothing{}) : gRuntime.Get();
}

}  // namespace

CipherCtxPtr NewBlowfishCbc(Direction direction, const unsigned char (&iv)[8]) {
  const EVP_CIPHER_CTX* keyed = TheRuntime().Template(direction);
  if (keyed == nullptr) return nullptr;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed) != 1) return nullptr;
  const int enc = direction == Direction::kEncrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), nullptr, nullptr, iv, enc, nullptr) != 1) return nullptr;
  return ctx;
}

bool BlowfishAvailable() {
  return TheRuntime().Template(Direction::kDecrypt) != nullptr;
}

const EVP_CIPHER* Aes128Ecb() {
  return TheRuntime().Aes();
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
