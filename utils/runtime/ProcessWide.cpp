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

void BeforeFork() {
  if (tDepth != 0) return;
  ::pthread_mutex_lock(&gBuilding);
  tForkTookIt = true;
}

void AfterFork() {
  if (!tForkTookIt) return;
  tForkTookIt = false;
  ::pthread_mutex_unlock(&gBuilding);
}

// Registered when the library is loaded, before anything can be built (and
// removed again by the C library when a shared library is unloaded).
[[maybe_unused]] const int gForkHandlers = ::pthread_atfork(&BeforeFork, &AfterFork, &AfterFork);

}  // namespace

BuildLock::BuildLock() {
  if (tDepth++ == 0) ::pthread_mutex_lock(&gBuilding);
}

BuildLock::~BuildLock() {
  if (--tDepth == 0) ::pthread_mutex_unlock(&gBuilding);
}

}  // namespace ZQ::RVL::Utils::internal
