// Crypto hot paths next to their baselines:
//   StreamEncrypt/StreamDecrypt (memory)  vs raw EVP Blowfish-CBC on the same bytes
//   FileEncrypt/FileDecrypt (64 MiB)      vs `openssl enc -bf-cbc` on the same file
//   a 100-byte container                  (absolute: a few microseconds)
//   AES block, caller's key               vs AES_set_encrypt_key + AES_ecb_encrypt
//   light form (memory)                   vs memcpy of the same bytes
//   chunked decryption, 64 KiB chunks     vs StreamDecrypt of the same container
//   DeserializeImpl, 16 MiB               vs StreamDecrypt of the same container
//   SerializeImpl + DeserializeImpl       vs the same with a fresh key schedule per container
//   10,000 16-byte blobs from an ifstream vs the same blobs from memory (both forms)
// Baselines are named "Baseline..." so scripts/bench.sh can pair them.

// The low-level AES calls are deprecated; they are only the baseline here.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/aes.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

namespace {

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 12345;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Reads and writes memory without the growth and copying of string streams, so
// the stream figures show the container code and not std::stringbuf.
class MemoryInBuf : public std::streambuf {
 public:
  explicit MemoryInBuf(const std::string& s) {
    char* p = const_cast<char*>(s.data());
    setg(p, p, p + s.size());
  }
};
class MemoryOutBuf : public std::streambuf {
 public:
  explicit MemoryOutBuf(std::size_t capacity) : buffer_(capacity) { Rewind(); }
  void Rewind() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }
  std::size_t Size() const { return static_cast<std::size_t>(pptr() - pbase()); }
  const char* Data() const { return buffer_.data(); }

 private:
  std::vector<char> buffer_;
};

// Blowfish-CBC from a library context of the benchmark's own.
struct RawBlowfish {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* def = OSSL_PROVIDER_load(ctx, "default");
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx, "legacy");
  EVP_CIPHER* bf = EVP_CIPHER_fetch(ctx, "BF-CBC", nullptr);
  ~RawBlowfish() {
    EVP_CIPHER_free(bf);
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(def);
    OSSL_LIB_CTX_free(ctx);
  }
};
RawBlowfish& Raw() {
  static RawBlowfish raw;
  return raw;
}

const unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// Returns a context of Raw() Blowfish-CBC keyed with kKey for `enc`.
EVP_CIPHER_CTX* NewKeyedBlowfish(int enc) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex2(ctx, Raw().bf, nullptr, nullptr, enc, nullptr);
  EVP_CIPHER_CTX_set_key_length(ctx, 16);
  EVP_CipherInit_ex2(ctx, nullptr, kKey, nullptr, enc, nullptr);
  return ctx;
}

// Runs `bytes` through a copy of `keyed` with a zero IV into `out`; returns
// the number of bytes produced.
int RunBlowfish(EVP_CIPHER_CTX* work, const EVP_CIPHER_CTX* keyed, int enc,
                const std::string& bytes, unsigned char* out) {
  const unsigned char iv[8] = {};
  EVP_CIPHER_CTX_copy(work, keyed);
  EVP_CipherInit_ex2(work, nullptr, nullptr, iv, enc, nullptr);
  int n = 0;
  int m = 0;
  EVP_CipherUpdate(work, out, &n, reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<int>(bytes.size()));
  EVP_CipherFinal_ex(work, out + n, &m);
  return n + m;
}

// Raw EVP Blowfish-CBC over the same bytes in one pass, with a context keyed
// once (the key schedule stays outside the loop: this baseline is the cipher
// alone, with no stream and no header).
void BaselineEvpBlowfish(benchmark::State& state, int enc) {
  const std::string plain = Bytes(static_cast<std::size_t>(state.range(0)));
  EVP_CIPHER_CTX* keyed = NewKeyedBlowfish(enc);
  EVP_CIPHER_CTX* work = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> out(plain.size() + 16);
  std::string input = plain;
  if (enc == 0) {  // decrypt real ciphertext
    EVP_CIPHER_CTX* encryptor = NewKeyedBlowfish(1);
    const int n = RunBlowfish(work, encryptor, 1, plain, out.data());
    input.assign(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
    EVP_CIPHER_CTX_free(encryptor);
  }
  for (auto _ : state) {
    RunBlowfish(work, keyed, enc, input, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(work);
  EVP_CIPHER_CTX_free(keyed);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BaselineEvpEncrypt(benchmark::State& state) {
  BaselineEvpBlowfish(state, 1);
}
void BaselineEvpDecrypt(benchmark::State& state) {
  BaselineEvpBlowfish(state, 0);
}

// StreamEncrypt of state.range(0) bytes between memory streams, in one form.
void EncryptInMemory(benchmark::State& state, bool light) {
  const std::string plain = Bytes(static_cast<std::size_t>(state.range(0)));
  MemoryOutBuf sink(plain.size() + 64);
  for (auto _ : state) {
    MemoryInBuf source(plain);
    std::istream in(&source);
    sink.Rewind();
    std::ostream out(&sink);
    if (!Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), out, light)) {
      state.SkipWithError("StreamEncrypt failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void StreamEncryptFull(benchmark::State& state) {
  EncryptInMemory(state, false);
}
void StreamLight(benchmark::State& state) {
  EncryptInMemory(state, true);
}

void StreamDecryptFull(benchmark::State& state) {
  const std::string plain = Bytes(static_cast<std::size_t>(state.range(0)));
  std::istringstream plainIn(plain);
  std::ostringstream containerOut;
  Crypto::StreamEncrypt(plainIn, static_cast<int>(plain.size()), containerOut, false);
  const std::string container = containerOut.str();
  MemoryOutBuf sink(plain.size() + 64);
  for (auto _ : state) {
    MemoryInBuf source(container);
    std::istream in(&source);
    sink.Rewind();
    std::ostream out(&sink);
    if (!Crypto::StreamDecrypt(in, out, false)) state.SkipWithError("StreamDecrypt failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

std::string ContainerOf(const std::string& plain) {
  std::istringstream in(plain);
  std::ostringstream out;
  Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), out, false);
  return out.str();
}

void ChunkedDecrypt64KiB(benchmark::State& state) {
  const std::string container = ContainerOf(Bytes(static_cast<std::size_t>(state.range(0))));
  std::vector<char> buffer(64 << 10);
  for (auto _ : state) {
    MemoryInBuf source(container);
    std::istream in(&source);
    int size = 0;
    bool ok = Crypto::DecryptStreamInit(in, size, false);
    while (ok && !in.eof()) {
      int length = static_cast<int>(buffer.size());
      ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, false);
      benchmark::DoNotOptimize(buffer.data());
    }
    Crypto::DecryptStreamDeinit();
    if (!ok) state.SkipWithError("chunked decryption failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void DeserializeFull(benchmark::State& state) {
  const std::string container = ContainerOf(Bytes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    MemoryInBuf source(container);
    std::istream in(&source);
    unsigned char* blob = nullptr;
    int length = 0;
    if (!Crypto::DeserializeImpl(in, blob, length, false)) state.SkipWithError("failed");
    delete[] blob;
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void SerializeDeserializePair(benchmark::State& state) {
  const std::string blob = Bytes(static_cast<std::size_t>(state.range(0)));
  MemoryOutBuf sink(blob.size() + 64);
  for (auto _ : state) {
    sink.Rewind();
    std::ostream out(&sink);
    Crypto::SerializeImpl(reinterpret_cast<const unsigned char*>(blob.data()),
                          static_cast<int>(blob.size()), out, false);
    std::string container(sink.Data(), sink.Size());
    MemoryInBuf source(container);
    std::istream in(&source);
    unsigned char* back = nullptr;
    int length = 0;
    Crypto::DeserializeImpl(in, back, length, false);
    delete[] back;
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The blob pair written the plain way: every container keys a fresh
// Blowfish context (the 4 KiB key schedule), then writes the same header and
// ciphertext, and reads it back with another fresh context.
void BaselineBlobPairFreshKey(benchmark::State& state) {
  const std::string blob = Bytes(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> cipher(blob.size() + 64);
  std::vector<unsigned char> plain(blob.size() + 64);
  for (auto _ : state) {
    unsigned char iv[8];
    RAND_bytes(iv, sizeof iv);
    std::string container = "ZQCRYPTO";
    const auto size = static_cast<std::uint32_t>(blob.size());
    for (int i = 0; i < 4; ++i) container += static_cast<char>(size >> (8 * i));
    container.append(reinterpret_cast<const char*>(iv), 8);
    for (int enc : {1, 0}) {
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      EVP_CipherInit_ex2(ctx, Raw().bf, nullptr, nullptr, enc, nullptr);
      EVP_CIPHER_CTX_set_key_length(ctx, 16);
      EVP_CipherInit_ex2(ctx, nullptr, kKey, iv, enc, nullptr);
      int n = 0;
      int m = 0;
      if (enc == 1) {
        EVP_CipherUpdate(ctx, cipher.data(), &n,
                         reinterpret_cast<const unsigned char*>(blob.data()),
                         static_cast<int>(blob.size()));
        EVP_CipherFinal_ex(ctx, cipher.data() + n, &m);
        container.append(reinterpret_cast<const char*>(cipher.data()),
                         static_cast<std::size_t>(n + m));
      } else {
        const auto* body = reinterpret_cast<const unsigned char*>(container.data()) + 20;
        EVP_CipherUpdate(ctx, plain.data(), &n, body, static_cast<int>(container.size() - 20));
        EVP_CipherFinal_ex(ctx, plain.data() + n, &m);
        benchmark::DoNotOptimize(plain.data());
      }
      EVP_CIPHER_CTX_free(ctx);
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// 10,000 blobs of 16 bytes written one after another, in the form
// state.range(0) selects (1: light).
constexpr int kManyBlobs = 10000;
std::string ManyBlobs(bool light) {
  const std::string blob = Bytes(16);
  std::ostringstream out;
  for (int i = 0; i < kManyBlobs; ++i) {
    Crypto::SerializeImpl(reinterpret_cast<const unsigned char*>(blob.data()), 16, out, light);
  }
  return out.str();
}

// Reads every blob of `in` back with DeserializeImpl, one after another.
void ReadManyBlobs(benchmark::State& state, std::istream& in, bool light) {
  for (int i = 0; i < kManyBlobs; ++i) {
    unsigned char* blob = nullptr;
    int length = 0;
    if (!Crypto::DeserializeImpl(in, blob, length, light) || length != 16) {
      state.SkipWithError("DeserializeImpl failed");
    }
    delete[] blob;
  }
}

void BaselineDeserializeBlobsFromMemory(benchmark::State& state) {
  const bool light = state.range(0) != 0;
  const std::string blobs = ManyBlobs(light);
  for (auto _ : state) {
    MemoryInBuf source(blobs);
    std::istream in(&source);
    ReadManyBlobs(state, in, light);
  }
  state.SetItemsProcessed(state.iterations() * kManyBlobs);
}

void DeserializeBlobsFromIfstream(benchmark::State& state) {
  const bool light = state.range(0) != 0;
  const char* env = std::getenv("ZQ_BENCH_DIR");
  const std::string path =
      (env != nullptr ? std::string(env) : std::filesystem::temp_directory_path().string()) +
      "/zq-bench-blobs-" + std::to_string(::getpid());
  {
    const std::string blobs = ManyBlobs(light);
    std::ofstream(path, std::ios::binary)
        .write(blobs.data(), static_cast<std::streamsize>(blobs.size()));
  }
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    ReadManyBlobs(state, in, light);
  }
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations() * kManyBlobs);
}

void ContainerOf100Bytes(benchmark::State& state) {
  const std::string plain = Bytes(100);
  MemoryOutBuf sink(256);
  for (auto _ : state) {
    MemoryInBuf source(plain);
    std::istream in(&source);
    sink.Rewind();
    std::ostream out(&sink);
    Crypto::StreamEncrypt(in, 100, out, false);
  }
}

void BaselineMemcpy(benchmark::State& state) {
  const std::string plain = Bytes(static_cast<std::size_t>(state.range(0)));
  std::vector<char> out(plain.size());
  for (auto _ : state) {
    std::memcpy(out.data(), plain.data(), plain.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void AesBlockCallerKey(benchmark::State& state) {
  char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  char block[16] = {};
  for (auto _ : state) {
    Crypto::Encrypt(block, 16, key, false);
    benchmark::DoNotOptimize(block);
  }
}

void BaselineAesLowLevel(benchmark::State& state) {
  unsigned char block[16] = {};
  for (auto _ : state) {
    AES_KEY schedule;
    AES_set_encrypt_key(kKey, 128, &schedule);
    AES_ecb_encrypt(block, block, &schedule, AES_ENCRYPT);
    benchmark::DoNotOptimize(block);
  }
}

// File to file, 64 MiB, in the folder given by ZQ_BENCH_DIR (default: /tmp).
struct BenchFiles {
  std::string dir;
  std::string plain;
  std::string box;
  std::string back;
  BenchFiles() {
    const char* env = std::getenv("ZQ_BENCH_DIR");
    dir = env != nullptr ? env : std::filesystem::temp_directory_path().string();
    plain = dir + "/zq-bench-" + std::to_string(::getpid()) + ".plain";
    box = plain + ".zqc";
    back = plain + ".back";
    std::ofstream out(plain, std::ios::binary);
    const std::string bytes = Bytes(64 << 20);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~BenchFiles() {
    std::remove(plain.c_str());
    std::remove(box.c_str());
    std::remove(back.c_str());
  }
};
BenchFiles& Files() {
  static BenchFiles files;
  return files;
}

void FileEncrypt64MiB(benchmark::State& state) {
  for (auto _ : state) Crypto::FileEncrypt(Files().plain.c_str(), Files().box.c_str(), false);
  state.SetBytesProcessed(state.iterations() * (64 << 20));
}

void FileDecrypt64MiB(benchmark::State& state) {
  Crypto::FileEncrypt(Files().plain.c_str(), Files().box.c_str(), false);
  for (auto _ : state) Crypto::FileDecrypt(Files().box.c_str(), Files().back.c_str(), false);
  state.SetBytesProcessed(state.iterations() * (64 << 20));
}

void RunOpenSslEnc(benchmark::State& state, const char* direction) {
  const std::string in = direction[1] == 'e' ? Files().plain : Files().box + ".openssl";
  const std::string out = direction[1] == 'e' ? Files().box + ".openssl" : Files().back;
  const std::string command = std::string("openssl enc ") + direction +
                              " -bf-cbc -provider legacy -provider default -nosalt"
                              " -K 0102030405060708090a0b0c0d0e0f10 -iv 0001020304050607 -in " +
                              in + " -out " + out;
  if (std::system((std::string("openssl enc -e -bf-cbc -provider legacy -provider default "
                               "-nosalt -K 0102030405060708090a0b0c0d0e0f10 -iv 0001020304050607 "
                               "-in ") +
                   Files().plain + " -out " + Files().box + ".openssl")
                      .c_str()) != 0) {
    state.SkipWithError("openssl enc is not available");
    return;
  }
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl enc failed");
  }
  std::remove((Files().box + ".openssl").c_str());
  state.SetBytesProcessed(state.iterations() * (64 << 20));
}
void BaselineOpenSslEncFileEncrypt(benchmark::State& state) {
  RunOpenSslEnc(state, "-e");
}
void BaselineOpenSslEncFileDecrypt(benchmark::State& state) {
  RunOpenSslEnc(state, "-d");
}

}  // namespace

#define ZQ_SIZES ->RangeMultiplier(8)->Range(1 << 10, 32 << 20)->Arg(64 << 20)
BENCHMARK(BaselineEvpEncrypt) ZQ_SIZES;
BENCHMARK(StreamEncryptFull) ZQ_SIZES;
BENCHMARK(BaselineEvpDecrypt) ZQ_SIZES;
BENCHMARK(StreamDecryptFull) ZQ_SIZES;
BENCHMARK(StreamDecryptFull)->Arg(16 << 20)->Name("StreamDecryptFull/same");
BENCHMARK(ChunkedDecrypt64KiB)->Arg(16 << 20);
BENCHMARK(DeserializeFull)->Arg(16 << 20);
BENCHMARK(ContainerOf100Bytes);
BENCHMARK(SerializeDeserializePair)->Arg(100)->Arg(1 << 20);
BENCHMARK(BaselineBlobPairFreshKey)->Arg(100)->Arg(1 << 20);
BENCHMARK(BaselineDeserializeBlobsFromMemory)->Arg(0)->Arg(1);
BENCHMARK(DeserializeBlobsFromIfstream)->Arg(0)->Arg(1);
BENCHMARK(BaselineMemcpy)->Arg(64 << 20);
BENCHMARK(StreamLight)->Arg(64 << 20);
BENCHMARK(BaselineAesLowLevel);
BENCHMARK(AesBlockCallerKey);
BENCHMARK(BaselineOpenSslEncFileEncrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FileEncrypt64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BaselineOpenSslEncFileDecrypt)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FileDecrypt64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
