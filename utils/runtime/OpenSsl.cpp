#include "utils/runtime/OpenSsl.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "utils/crypto/Constants.h"
#include "utils/file/FileCalls.h"
#include "utils/runtime/PerThread.h"
#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::internal {

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
  const auto& key = Crypto::internal::gcGlobalCryptoKey;
  // Blowfish takes keys of variable length; set 16 bytes before keying.
  if (EVP_CipherInit_ex2(ctx.get(), bf, nullptr, nullptr, enc, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), sizeof key) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key, nullptr, enc, nullptr) != 1) {
    return nullptr;
  }
  return ctx;
}

// Members are declared in the order they depend on each other, so that a
// failed set-up releases them in the reverse order: contexts, algorithms,
// providers, library context. Built inside a stretch.
class Runtime {
 public:
  Runtime() {
    // Loading a provider opens its module: never on a standard number a
    // host left free, where the host's own writes or dup2 would meet it.
    files::FillFreeStandardNumbers();
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

ProcessWide<Runtime> gRuntime;

// Called first thing in OpenSSL's clean-up (at exit, or the host's own
// OPENSSL_cleanup): stretches in flight finish before it frees anything.
void OnOpenSslCleanup() {
  ShutForGood(Gate::kOpenSsl);
}

// What the process's first stretch found, before any call into OpenSSL of
// any stretch, whatever the thread: the clean-up hook registered, or OpenSSL
// already cleaned up (by a host that used it before the library did; the
// hook would never run, and building the runtime would use freed locks).
enum class Start { kHooked, kCleanedUp, kNotHooked };
ProcessWide<Start> gStart;

// How many stretches this thread is in (a plain int: still there when the
// thread's objects are gone).
thread_local int tStretches = 0;

// OpenSSL's own clean-up of a thread's state, which a thread-specific key's
// destructor runs when the thread ends, takes a lock of OpenSSL's: a fork made
// meanwhile by another thread left it held in the child, whose first call
// into OpenSSL then waited for ever. A thread that called OpenSSL through the
// library does that clean-up in a stretch instead, from a per-thread object's
// destructor (thread_local destructors run before the keys' destructors).
struct ThreadStop {
  ~ThreadStop() {
    const OpenSslStretch stretch;
    if (stretch.Open()) OPENSSL_thread_stop();
  }
};

// Only inside an Open stretch.
const Runtime& TheRuntime() {
  return gRuntime.Get();
}

}  // namespace

OpenSslStretch::OpenSslStretch() noexcept : open_(inside_.Open()) {
  ++tStretches;
  if (!open_) return;
  const Start start = gStart.Make([] {
    // Returns 0 once OpenSSL has cleaned up (the error it raises then has no
    // queue to go to).
    if (OPENSSL_init_crypto(0, nullptr) != 1) return Start::kCleanedUp;
    return OPENSSL_atexit(&OnOpenSslCleanup) == 1 ? Start::kHooked : Start::kNotHooked;
  });
  if (start == Start::kCleanedUp) {
    open_ = false;
    ShutForGood(Gate::kOpenSsl);
    return;
  }
  // Once the thread's objects are gone (a call from another thread_local's
  // destructor), the outermost stretch does the thread's clean-up itself.
  stopsThread_ = PerThreadObjectsGone() && tStretches == 1;
  if (!stopsThread_) UsePerThread([] { return ThreadStop(); }, [](ThreadStop&) {});
}

OpenSslStretch::~OpenSslStretch() {
  --tStretches;
  // Not over a caller's errors that the queue holds again by now: the thread
  // is ending, and OpenSSL's own clean-up of it follows.
  if (stopsThread_ && open_ && ERR_peek_error() == 0) OPENSSL_thread_stop();
}

static_assert(ERR_NUM_ERRORS == 16, "CallerErrorQueue keeps that many entries");

CallerErrorQueue::CallerErrorQueue() noexcept {
  const OpenSslStretch stretch;
  if (!stretch.Open() || ERR_peek_error() == 0) return;
  saved_.reset(new (std::nothrow) Saved);
  if (!saved_) {
    marked_ = ERR_set_mark() == 1;
    return;
  }
  const char* file = nullptr;
  const char* function = nullptr;
  const char* data = nullptr;
  int line = 0;
  int flags = 0;
  while (saved_->count < ERR_NUM_ERRORS) {
    const unsigned long code = ERR_get_error_all(&file, &line, &function, &data, &flags);
    if (code == 0) break;
    Entry& entry = saved_->entries[saved_->count++];
    entry.code = code;
    entry.line = line;
    try {
      if ((entry.hasFile = file != nullptr)) entry.file = file;
      if ((entry.hasFunction = function != nullptr)) entry.function = function;
      if ((entry.hasData = data != nullptr && (flags & ERR_TXT_STRING) != 0)) entry.data = data;
    } catch (const std::bad_alloc&) {
      entry.hasFile = entry.hasFunction = entry.hasData = false;
    }
  }
}

CallerErrorQueue::~CallerErrorQueue() {
  const OpenSslStretch stretch;
  if (!stretch.Open()) return;
  if (marked_) {
    ERR_pop_to_mark();
    return;
  }
  ERR_clear_error();
  for (int i = 0; saved_ && i < saved_->count; ++i) {
    const Entry& entry = saved_->entries[i];
    ERR_new();
    ERR_set_debug(entry.hasFile ? entry.file.c_str() : nullptr, entry.line,
                  entry.hasFunction ? entry.function.c_str() : nullptr);
    const int lib = ERR_GET_LIB(entry.code);
    const int reason = ERR_GET_REASON(entry.code);
    if (entry.hasData) {
      ERR_set_error(lib, reason, "%s", entry.data.c_str());
    } else {
      ERR_set_error(lib, reason, nullptr);
    }
  }
}

// Contexts released after OpenSSL's clean-up began: freeing them could meet
// the clean-up in flight, so they stay here, reachable, for the exit to take.
namespace {
std::atomic<EVP_CIPHER_CTX*> gLeftForTheExit[256];
}  // namespace

void CipherCtxDeleter::operator()(EVP_CIPHER_CTX* ctx) const noexcept {
  const OpenSslStretch stretch;
  if (stretch.Open()) {
    EVP_CIPHER_CTX_free(ctx);
    return;
  }
  for (auto& slot : gLeftForTheExit) {
    EVP_CIPHER_CTX* empty = nullptr;
    if (slot.compare_exchange_strong(empty, ctx)) return;
  }
}

CipherCtxPtr NewBlowfishCbc(Direction direction, const unsigned char (&iv)[8]) {
  const OpenSslStretch stretch;
  if (!stretch.Open()) return nullptr;
  const EVP_CIPHER_CTX* keyed = TheRuntime().Template(direction);
  if (keyed == nullptr) return nullptr;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed) != 1) return nullptr;
  const int enc = direction == Direction::kEncrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), nullptr, nullptr, iv, enc, nullptr) != 1) return nullptr;
  return ctx;
}

bool BlowfishAvailable() {
  const OpenSslStretch stretch;
  return stretch.Open() && TheRuntime().Template(Direction::kDecrypt) != nullptr;
}

const EVP_CIPHER* Aes128Ecb() {
  return TheRuntime().Aes();
}

}  // namespace ZQ::RVL::Utils::internal
