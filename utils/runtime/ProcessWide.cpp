#include "utils/runtime/ProcessWide.h"

#include <pthread.h>

namespace ZQ::RVL::Utils::internal {

namespace {

pthread_mutex_t gBuilding = PTHREAD_MUTEX_INITIALIZER;
// How deep this thread is in builds (a normal mutex, counted by hand: a
// recursive one could not be released in a forked child, whose thread has
// another id).
thread_local int tDepth = 0;
// Whether this thread's fork took the lock (it did not when it was building).
thread_local bool tForkTookIt = false;

}  // namespace

void HoldBuildLockForFork() noexcept {
  if (tDepth != 0) return;
  ::pthread_mutex_lock(&gBuilding);
  tForkTookIt = true;
}

void ReleaseBuildLockAfterFork() noexcept {
  if (!tForkTookIt) return;
  tForkTookIt = false;
  ::pthread_mutex_unlock(&gBuilding);
}

// A build inside a fork handler of the thread whose fork holds the lock (one
// registered before the library's) needs no lock: no other thread builds.
BuildLock::BuildLock() {
  if (tDepth++ == 0 && !tForkTookIt) ::pthread_mutex_lock(&gBuilding);
}

BuildLock::~BuildLock() {
  if (--tDepth == 0 && !tForkTookIt) ::pthread_mutex_unlock(&gBuilding);
}

}  // namespace ZQ::RVL::Utils::internal
