// Storage for a process-wide object that is built on first use and never
// destroyed. Private to the library (not installed).
//
// The order of static destructors at exit is not ours to choose: a caller's
// own static object may still use the library after ours would have gone, and
// OpenSSL objects must not be freed after OpenSSL's own clean-up at exit. The
// library's process-wide state therefore lives until the process ends; the
// memory stays reachable, so leak checkers do not count it.
#pragma once

#include <new>
#include <utility>

namespace ZQ::RVL::Utils::internal {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *Get(); }
  T* operator->() { return Get(); }

 private:
  T* Get() { return std::launder(reinterpret_cast<T*>(storage_)); }

  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace ZQ::RVL::Utils::internal
