#include "utils/runtime/PerThread.h"

#include <vector>

namespace ZQ::RVL::Utils::internal {

namespace {
thread_local bool tGone = false;  // trivially destructible: outlives the objects
}  // namespace

// Not in an unnamed namespace: ThisThreadObjects below must have a section of
// its own.
struct Kept {
  void* object;
  void (*destroy)(void*);
  void** slot;
};

class ThreadObjects {
 public:
  ThreadObjects() = default;
  ~ThreadObjects() {
    tGone = true;
    while (!kept_.empty()) {
      const Kept last = kept_.back();
      kept_.pop_back();
      *last.slot = nullptr;
      last.destroy(last.object);
    }
  }
  ThreadObjects(const ThreadObjects&) = delete;
  ThreadObjects& operator=(const ThreadObjects&) = delete;

  bool Keep(const Kept& kept) noexcept {
    try {
      kept_.push_back(kept);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

 private:
  std::vector<Kept> kept_;
};

// The one thread_local with a destructor of the library; out of line, in a
// section of its own, so the symbol lint allows it by name.
[[gnu::noinline]] inline ThreadObjects& ThisThreadObjects() {
  thread_local ThreadObjects objects;
  return objects;
}

bool PerThreadObjectsGone() noexcept {
  return tGone;
}

bool KeepForThread(void* object, void (*destroy)(void*), void** slot) noexcept {
  return ThisThreadObjects().Keep({object, destroy, slot});
}

}  // namespace ZQ::RVL::Utils::internal
