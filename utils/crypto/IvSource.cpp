#include "utils/crypto/IvSource.h"

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "utils/runtime/ChildWiped.h"
#include "utils/runtime/KernelRandom.h"
#include "utils/runtime/PerThread.h"

namespace ZQ::RVL::Utils::Crypto::internal {

namespace {

constexpr std::size_t kPoolSize = 512;
constexpr std::size_t kIvBytes = 8;

// A pool belongs to the process that filled it. A child process, whatever
// made it (fork(), _Fork(), a raw fork or clone system call, a new PID
// namespace where it has its parent's process id), finds the pool empty
// before its first IV: the pool lives in a page the kernel wipes in every
// child (ChildWiped.h). Where the kernel refuses that, there is no pool:
// each IV comes from the kernel on its own. The bytes come from the kernel
// (getrandom), which holds no lock a parent's thread could have held at the
// fork, and whose output no two processes share.
struct IvPool {
  unsigned char bytes[kPoolSize];
  std::size_t remaining;  // IV bytes not handed out yet; 0 after a wipe
};

class ThreadPool {
 public:
  ThreadPool() {
    if (void* page = Utils::internal::NewChildWiped()) pool_ = new (page) IvPool{};
  }
  ~ThreadPool() {
    if (pool_ == nullptr) return;
    OPENSSL_cleanse(pool_, sizeof *pool_);
    Utils::internal::FreeChildWiped(pool_);
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  bool Draw(unsigned char (&iv)[8]) {
    if (pool_ == nullptr) return Utils::internal::ReadKernelRandom(iv, kIvBytes);
    if (pool_->remaining < kIvBytes && !Refill()) return false;
    unsigned char* next = pool_->bytes + (kPoolSize - pool_->remaining);
    std::memcpy(iv, next, kIvBytes);
    OPENSSL_cleanse(next, kIvBytes);
    pool_->remaining -= kIvBytes;
    return true;
  }

 private:
  static_assert(sizeof(IvPool) <= Utils::internal::kChildWipedSize);

  bool Refill() {
    pool_->remaining = 0;
    if (!Utils::internal::ReadKernelRandom(pool_->bytes, kPoolSize)) return false;
    pool_->remaining = kPoolSize;
    return true;
  }

  IvPool* pool_ = nullptr;  // null: no page the kernel wipes in children
};

}  // namespace

// A destructor that runs after this thread's pool is gone (a static object's
// at exit, another thread_local's) gets a pool of its own for the call.
bool DrawIv(unsigned char (&iv)[8]) {
  return Utils::internal::UsePerThread([] { return ThreadPool(); },
                                       [&iv](ThreadPool& pool) { return pool.Draw(iv); });
}

}  // namespace ZQ::RVL::Utils::Crypto::internal
