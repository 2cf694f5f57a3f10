// Storage for a process-wide object that is built on first use and never
// destroyed. Private to utils/crypto.
//
// OpenSSL objects must not be freed after the objects they came from (the
// library context, the providers) or after OpenSSL's own clean-up at exit,
// and the order of static destructors at exit is not ours to choose. The
// crypto subsystem's process-wide OpenSSL state therefore lives until the
// process ends; the memory stays reachable, so leak checkers do not count it.
#pragma once

#include <new>
#include <utility>

namespace ZQ::RVL::Utils::Crypto::internal {

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

}  // namespace ZQ::RVL::Utils::Crypto::internal
