#include "utils/crypto/IvSource.h"

#include <openssl/crypto.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/crypto/OpenSslRuntime.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

constexpr std::size_t kPoolSize = 512;
constexpr std::size_t kIvBytes = 8;

// A pool belongs to the process that filled it: a child made by fork() is
// seen by the handler below, one made without the fork handlers (_Fork(), a
// raw fork or clone system call) by its process id, which glibc does not
// cache. Either way the child refills before its first IV.
//
// Bumped in every child made by fork().
std::atomic<std::uint64_t> gForkGeneration{0};

void OnForkInChild() {
  gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

void WatchForks() {
  static const bool registered = pthread_atfork(nullptr, nullptr, &OnForkInChild) == 0;
  (void)registered;
}

struct IvPool {
  unsigned char bytes[kPoolSize] = {};
  std::size_t next = kPoolSize;  // empty until the first draw
  std::uint64_t generation = 0;
  pid_t owner = 0;  // the process that filled the pool

  ~IvPool() { OPENSSL_cleanse(bytes, sizeof bytes); }

  bool Refill() {
    next = kPoolSize;
    if (!RandomBytes(bytes, sizeof bytes)) return false;
    next = 0;
    generation = gForkGeneration.load(std::memory_order_relaxed);
    owner = ::getpid();
    return true;
  }
};

}  // namespace

bool DrawIv(unsigned char (&iv)[8]) {
  WatchForks();
  thread_local IvPool pool;
  const bool stale = pool.generation != gForkGeneration.load(std::memory_order_relaxed) ||
                     pool.owner != ::getpid();
  if ((stale || pool.next + kIvBytes > kPoolSize) && !pool.Refill()) return false;
  std::memcpy(iv, pool.bytes + pool.next, kIvBytes);
  OPENSSL_cleanse(pool.bytes + pool.next, kIvBytes);
  pool.next += kIvBytes;
  return true;
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
