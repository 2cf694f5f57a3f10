#include "utils/runtime/CallGate.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::internal {

// Out of line, each in a section of its own: the symbol lint allows their
// system call by name (scripts/lint-symbols.py).
inline int* Word(std::atomic<int>& word) {
  return reinterpret_cast<int*>(&word);
}

// Sleeps while `word` holds `value` (returns at once when it does not, and
// may return early: callers look again).
[[gnu::noinline]] inline void FutexWait(std::atomic<int>& word, int value) {
  ::syscall(SYS_futex, Word(word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

[[gnu::noinline]] inline void FutexWakeAll(std::atomic<int>& word) {
  ::syscall(SYS_futex, Word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

namespace {

constexpr int kGates = 2;

// The waits are futex waits on the words themselves, not a mutex and a
// condition: a fork made from a signal handler never finds a lock of the
// gates held by the thread it interrupted, and a futex wait is not a
// cancellation point. Forks are counted, not flagged: two threads may fork at
// once, and the gate opens only when both are through.
struct GateWords {
  std::atomic<int> inside{0};  // threads inside, outermost Insides only
  std::atomic<int> forks{0};   // forks under way in any thread
  std::atomic<int> shut{0};    // 1 once shut for good
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

GateWords gGates[kGates];
thread_local int tDepth[kGates] = {};
// Forks this thread has under way: from its prepare handler to its parent or
// child handler. Another fork handler runs between them (one registered
// before the library's), and its calls into the library pass: no other
// thread is inside, and none can enter.
thread_local int tForking = 0;

GateWords& Words(Gate gate) {
  return gGates[static_cast<int>(gate)];
}

// Waits until no thread but this one is inside `gate`. A fork from a signal
// handler that interrupted this thread between its count and its depth may
// let one other thread stay inside (two instructions wide).
void Drain(Gate gate) {
  GateWords& words = Words(gate);
  const int mine = tDepth[static_cast<int>(gate)] > 0 ? 1 : 0;
  for (int now = words.inside.load(); now > mine; now = words.inside.load()) {
    FutexWait(words.inside, now);
  }
}

void Close(Gate gate) {
  Words(gate).forks.fetch_add(1);
  Drain(gate);
}

void Reopen(Gate gate) {
  GateWords& words = Words(gate);
  words.forks.fetch_sub(1);
  FutexWakeAll(words.forks);
}

// The store never enters OpenSSL, nor OpenSSL stretches the store: the gates
// close in any order.
void BeforeFork() {
  ++tForking;
  Close(Gate::kStore);
  Close(Gate::kOpenSsl);
  HoldBuildLockForFork();
}

void AfterForkInParent() {
  ReleaseBuildLockAfterFork();
  Reopen(Gate::kOpenSsl);
  Reopen(Gate::kStore);
  --tForking;
}

// The child has one thread, the one that forked: only it can be inside, and
// no other fork is under way there.
void AfterForkInChild() {
  ReleaseBuildLockAfterFork();
  for (const Gate gate : {Gate::kOpenSsl, Gate::kStore}) {
    GateWords& words = Words(gate);
    words.inside.store(tDepth[static_cast<int>(gate)] > 0 ? 1 : 0);
    words.forks.store(0);
  }
  tForking = 0;
}

// Registered when the library is loaded, before any of its work can be in
// flight (and removed by the C library when a shared library is unloaded).
[[maybe_unused]] const int gForkHandlers =
    ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);

}  // namespace

Inside::Inside(Gate gate) noexcept : gate_(gate) {
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState_);
  GateWords& words = Words(gate);
  if (tDepth[static_cast<int>(gate)]++ > 0) {
    open_ = words.shut.load() == 0;
    return;
  }
  for (;;) {
    words.inside.fetch_add(1);
    const int forks = tForking > 0 ? 0 : words.forks.load();
    const bool shut = words.shut.load() != 0;
    if (forks == 0 && !shut) {
      counted_ = open_ = true;
      return;
    }
    // A fork or the shut waits for the count to fall.
    words.inside.fetch_sub(1);
    FutexWakeAll(words.inside);
    if (shut) return;
    FutexWait(words.forks, forks);
  }
}

Inside::~Inside() {
  GateWords& words = Words(gate_);
  if (counted_) {
    words.inside.fetch_sub(1);
    if (words.forks.load() != 0 || words.shut.load() != 0) FutexWakeAll(words.inside);
  }
  --tDepth[static_cast<int>(gate_)];
  ::pthread_setcancelstate(cancelState_, nullptr);
}

void ShutForGood(Gate gate) noexcept {
  GateWords& words = Words(gate);
  words.shut.store(1);
  FutexWakeAll(words.forks);
  Drain(gate);
}

}  // namespace ZQ::RVL::Utils::internal
