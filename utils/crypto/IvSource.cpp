#include "utils/crypto/IvSource.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "utils/crypto/OpenSslRuntime.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

constexpr std::size_t kPoolSize = 512;
constexpr std::size_t kIvBytes = 8;

// A pool belongs to the process that filled it. A child process, whatever
// made it (fork(), _Fork(), a raw fork or clone system call), must refill
// before its first IV: it finds the pool empty, because the pool lives in a
// page the kernel wipes in every child (MADV_WIPEONFORK), or, where the kernel
// refuses that, because the pool's process id is not its own (glibc does not
// cache getpid, so a child made without the fork handlers sees its own).
struct IvPool {
  unsigned char bytes[kPoolSize];
  std::size_t remaining;  // IV bytes not handed out yet; 0 after a wipe
  pid_t owner;            // the process that filled the pool
};

// Set when this thread's pool is gone: a destructor that runs after it (a
// static object's at exit, another thread_local's) still writes containers.
// Trivially destructible, so it outlives every thread_local with a destructor.
thread_local bool tPoolGone = false;

class ThreadPool {
 public:
  ThreadPool() {
    void* page =
        ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED && ::madvise(page, kPageSize, MADV_WIPEONFORK) == 0) {
      pool_ = new (page) IvPool{};
      wipedInChildren_ = true;
    } else if (page != MAP_FAILED) {
      ::munmap(page, kPageSize);
    }
  }
  ~ThreadPool() {
    tPoolGone = true;
    OPENSSL_cleanse(pool_, sizeof *pool_);
    if (wipedInChildren_) ::munmap(pool_, kPageSize);
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  bool Draw(unsigned char (&iv)[8]) {
    const bool stale =
        pool_->remaining < kIvBytes || (!wipedInChildren_ && pool_->owner != ::getpid());
    if (stale && !Refill()) return false;
    unsigned char* next = pool_->bytes + (kPoolSize - pool_->remaining);
    std::memcpy(iv, next, kIvBytes);
    OPENSSL_cleanse(next, kIvBytes);
    pool_->remaining -= kIvBytes;
    return true;
  }

 private:
  static constexpr std::size_t kPageSize = 4096;
  static_assert(sizeof(IvPool) <= kPageSize);

  bool Refill() {
    pool_->remaining = 0;
    if (!RandomBytes(pool_->bytes, kPoolSize)) return false;
    pool_->remaining = kPoolSize;
    if (!wipedInChildren_) pool_->owner = ::getpid();
    return true;
  }

  IvPool fallback_{};
  IvPool* pool_ = &fallback_;
  bool wipedInChildren_ = false;
};

}  // namespace

bool DrawIv(unsigned char (&iv)[8]) {
  if (tPoolGone) return RandomBytes(iv, kIvBytes);
  thread_local ThreadPool pool;
  return pool.Draw(iv);
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
