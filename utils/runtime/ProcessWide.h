// The library's process-wide objects: built on first use, never destroyed,
// and safe across fork. Private to the library (not installed).
//
// - Built once, by the first caller, under the library's one build lock. A
//   function-local static would be built under a guard of the C++ runtime,
//   and a fork() made by another thread while it is being built leaves the
//   child waiting on that guard for ever. The build lock is taken by the fork
//   handler of CallGate.cpp instead, so a fork waits until a build in progress is done and
//   the child finds every object whole or not started. (A fork made by the
//   building thread itself, from a signal handler, does not wait: it could
//   not.)
// - Never destroyed: a caller's own static object may use the library at
//   exit, after ours would have gone, and OpenSSL objects must not be freed
//   after OpenSSL's own clean-up at exit. The memory stays reachable, so leak
//   checkers do not count it.
//
// Declare one at namespace scope; it is constant-initialised, so nothing runs
// for it at load:
//   ProcessWide<KeptFiles> gKeptFiles;
//   KeptFiles& files = gKeptFiles.Get();
// scripts/lint-symbols.py fails when an object of the library builds a
// function-local static instead.
//
// Thread-safety: Get() may be called from any thread at once.
#pragma once

#include <atomic>
#include <new>
#include <utility>

namespace ZQ::RVL::Utils::internal {

// Holds the build lock for its lifetime; a thread may take it again while it
// holds it (one object's constructor getting another).
class BuildLock {
 public:
  BuildLock();
  ~BuildLock();
  BuildLock(const BuildLock&) = delete;
  BuildLock& operator=(const BuildLock&) = delete;
};

// The fork handler's side of the build lock (CallGate.cpp): taken before a
// fork unless this thread is building, and released after it in parent and
// child.
void HoldBuildLockForFork() noexcept;
void ReleaseBuildLockAfterFork() noexcept;

template <typename T>
class ProcessWide {
 public:
  constexpr ProcessWide() = default;
  ProcessWide(const ProcessWide&) = delete;
  ProcessWide& operator=(const ProcessWide&) = delete;

  // The object; the first call builds it with `args`.
  template <typename... Args>
  T& Get(Args&&... args) {
    return GetOrMake([&] { return new (storage_) T(std::forward<Args>(args)...); });
  }

  // The object; the first call builds it as `T(make())`, `make` running
  // under the build lock.
  template <typename Maker>
  T& Make(Maker&& make) {
    return GetOrMake([&] { return new (storage_) T(make()); });
  }

 private:
  template <typename Build>
  T& GetOrMake(Build&& build) {
    T* built = built_.load(std::memory_order_acquire);
    if (built != nullptr) return *built;
    const BuildLock lock;
    built = built_.load(std::memory_order_relaxed);
    if (built == nullptr) {
      built = build();
      built_.store(built, std::memory_order_release);
    }
    return *built;
  }

  std::atomic<T*> built_{nullptr};
  alignas(T) unsigned char storage_[sizeof(T)]{};
};

}  // namespace ZQ::RVL::Utils::internal
