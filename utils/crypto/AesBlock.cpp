#include "utils/crypto/AesBlock.h"

#include <openssl/crypto.h>

#include <cstring>

#include "utils/runtime/PerThread.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZQ_HAVE_AESNI_PATH 1
#endif

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

#ifdef ZQ_HAVE_AESNI_PATH

#define ZQ_AESNI_TARGET __attribute__((target("aes,sse2")))

// One step of the AES-128 key expansion: `assist` is aeskeygenassist of the
// previous round key with the round constant.
ZQ_AESNI_TARGET inline __m128i ExpandStep(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

// The round constant must be an immediate, hence the macro.
#define ZQ_EXPAND(i, rcon) \
  schedule[i] = ExpandStep(schedule[(i)-1], _mm_aeskeygenassist_si128(schedule[(i)-1], rcon))

ZQ_AESNI_TARGET void AesNiBlock(unsigned char* block, const unsigned char* key,
                                Direction direction) noexcept {
  __m128i schedule[11];
  schedule[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  ZQ_EXPAND(1, 0x01);
  ZQ_EXPAND(2, 0x02);
  ZQ_EXPAND(3, 0x04);
  ZQ_EXPAND(4, 0x08);
  ZQ_EXPAND(5, 0x10);
  ZQ_EXPAND(6, 0x20);
  ZQ_EXPAND(7, 0x40);
  ZQ_EXPAND(8, 0x80);
  ZQ_EXPAND(9, 0x1b);
  ZQ_EXPAND(10, 0x36);

  __m128i state = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  if (direction == Direction::kEncrypt) {
    state = _mm_xor_si128(state, schedule[0]);
    for (int round = 1; round < 10; ++round) state = _mm_aesenc_si128(state, schedule[round]);
    state = _mm_aesenclast_si128(state, schedule[10]);
  } else {
    // Equivalent inverse cipher: the middle round keys pass through InvMixColumns.
    state = _mm_xor_si128(state, schedule[10]);
    for (int round = 9; round > 0; --round) {
      state = _mm_aesdec_si128(state, _mm_aesimc_si128(schedule[round]));
    }
    state = _mm_aesdeclast_si128(state, schedule[0]);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block), state);
  OPENSSL_cleanse(schedule, sizeof schedule);
}

#undef ZQ_EXPAND

// Clears every vector register (vzeroall), where the round keys stay
// after the schedule in memory is wiped.
__attribute__((target("avx"))) void ClearVectorRegisters() noexcept {
  _mm256_zeroall();
}

bool CpuHasAvx() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}

bool CpuHasAes() noexcept {
  // What the C runtime's start-up found (found now when a caller's static
  // constructor comes first); no first-use state of ours.
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
}

#else

bool CpuHasAes() noexcept {
  return false;
}

#endif  // ZQ_HAVE_AESNI_PATH

}  // namespace

bool AesBlockOpenSsl(unsigned char* block, const unsigned char* key, Direction direction) noexcept {
  const Utils::internal::CallerErrorQueue keep;
  const Utils::internal::OpenSslStretch stretch;
  if (!stretch.Open()) return false;
  const EVP_CIPHER* aes = Utils::internal::Aes128Ecb();
  if (aes == nullptr) return false;
  // One context per thread, keyed per call and reset afterwards: the reset
  // frees the provider's key schedule, which OpenSSL wipes on free.
  using Utils::internal::CipherCtxPtr;
  return Utils::internal::UsePerThread(
      [] { return CipherCtxPtr(EVP_CIPHER_CTX_new()); },
      [&](const CipherCtxPtr& owned) {
        EVP_CIPHER_CTX* ctx = owned.get();
        if (ctx == nullptr) return false;
        const int enc = direction == Direction::kEncrypt ? 1 : 0;
        unsigned char out[16];
        int produced = 0;
        const bool ok = EVP_CipherInit_ex2(ctx, aes, key, nullptr, enc, nullptr) == 1 &&
                        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                        EVP_CipherUpdate(ctx, out, &produced, block, 16) == 1 && produced == 16;
        EVP_CIPHER_CTX_reset(ctx);
        if (ok) std::memcpy(block, out, 16);
        OPENSSL_cleanse(out, sizeof out);
        return ok;
      });
}

bool AesBlock(unsigned char* block, const unsigned char* key, Direction direction) noexcept {
#ifdef ZQ_HAVE_AESNI_PATH
  if (CpuHasAes()) {
    AesNiBlock(block, key, direction);
    if (CpuHasAvx()) ClearVectorRegisters();
    return true;
  }
#endif
  return AesBlockOpenSsl(block, key, direction);
}

bool AesBlockOrZero(unsigned char* block, const unsigned char* key, Direction direction,
                    AesTransform transform) noexcept {
  if (transform(block, key, direction)) return true;
  OPENSSL_cleanse(block, 16);
  return false;
}

bool AesBlockUsesCpuInstructions() noexcept {
  return CpuHasAes();
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
