#include "utils/config/store/ForkGuard.h"

#include <pthread.h>

#include <cassert>

namespace ZQ::RVL::Utils::Preferences {

namespace {

// Held shared by every call of the store, exclusively across a fork. It
// prefers the fork: a steady stream of calls cannot starve it.
pthread_rwlock_t gCalls = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

void BeforeFork() {
  pthread_rwlock_wrlock(&gCalls);
}

void AfterForkInParent() {
  pthread_rwlock_unlock(&gCalls);
}

// The child's only thread has another thread id than the one that locked, so
// an unlock would be taken for a reader's; nobody else can hold the lock, and
// it starts afresh.
void AfterForkInChild() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&gCalls, &attributes);
  pthread_rwlockattr_destroy(&attributes);
}

}  // namespace

ForkGuard::ForkGuard() {
  // Registered once, at the first call: before it no call can be in flight.
  static const int registered = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
  (void)registered;
  [[maybe_unused]] const int locked = pthread_rwlock_rdlock(&gCalls);
  assert(locked == 0);
}

ForkGuard::~ForkGuard() {
  pthread_rwlock_unlock(&gCalls);
}

}  // namespace ZQ::RVL::Utils::Preferences
