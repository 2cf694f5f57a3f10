#include "utils/config/store/ForkGuard.h"

#include <pthread.h>

namespace ZQ::RVL::Utils::Preferences {

namespace {

// How many calls are under way, and whether a fork waits for them to end.
// gMutex is held from the fork's prepare handler until after the fork, so
// calls that start meanwhile wait; a fork goes first, so a steady stream of
// calls cannot starve it.
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gChanged = PTHREAD_COND_INITIALIZER;
unsigned gActive = 0;
bool gForking = false;

void BeforeFork() {
  pthread_mutex_lock(&gMutex);
  gForking = true;
  while (gActive > 0) pthread_cond_wait(&gChanged, &gMutex);
}

void AfterForkInParent() {
  gForking = false;
  pthread_cond_broadcast(&gChanged);
  pthread_mutex_unlock(&gMutex);
}

// The child has one thread, the one that forked and holds gMutex (a plain
// mutex, so its unlock here is sound). Threads of the parent that waited on
// gChanged do not exist here, so it starts afresh rather than be signalled.
void AfterForkInChild() {
  gForking = false;
  gActive = 0;
  pthread_cond_init(&gChanged, nullptr);
  pthread_mutex_unlock(&gMutex);
}

// Registered when the library is loaded, before any of its calls can be in
// flight. Not at the first call: a fork while that call was still registering
// them left the child waiting for ever on the half-done start.
[[maybe_unused]] const int gRegistered =
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);

}  // namespace

ForkGuard::ForkGuard() {
  pthread_mutex_lock(&gMutex);
  while (gForking) pthread_cond_wait(&gChanged, &gMutex);
  ++gActive;
  pthread_mutex_unlock(&gMutex);
}

ForkGuard::~ForkGuard() {
  pthread_mutex_lock(&gMutex);
  if (--gActive == 0 && gForking) pthread_cond_broadcast(&gChanged);
  pthread_mutex_unlock(&gMutex);
}

}  // namespace ZQ::RVL::Utils::Preferences
