// The library's per-thread objects: built on first use in each thread and
// destroyed when the thread ends, yet usable by a call that comes after that.
// Private to the library (not installed).
//
// A thread's thread_local objects are destroyed when it ends, and the main
// thread's when exit() starts, before the destructors of static objects. A
// static object's destructor (or another thread_local's) that calls the
// library then would use a destroyed object. UsePerThread hands such a late
// call a fresh object of its own, made for that call and destroyed after it;
// so does it when memory for the thread's object runs out.
//
//   return UsePerThread([] { return boost::format(kText); },
//                       [&](boost::format& formatter) { return Format(formatter); });
//
// Each call site (each `make` lambda) has objects of its own. `make` returns
// the object by value; it is built in place, never moved. The objects of a
// thread are destroyed in the reverse order of their making, by one
// thread_local of PerThread.cpp: scripts/lint-symbols.py fails when an object
// of the library keeps a thread_local with a destructor of its own.
//
// Thread-safety: an object is only ever used by its own thread.
#pragma once

#include <new>

namespace ZQ::RVL::Utils::internal {

// Whether this thread's objects were destroyed (its end, or exit).
bool PerThreadObjectsGone() noexcept;

// Has `destroy(object)` run when this thread's objects are destroyed, after
// which `*slot` is null. Returns false (and keeps nothing) when memory runs out.
bool KeepForThread(void* object, void (*destroy)(void*), void** slot) noexcept;

template <typename Make, typename Use>
decltype(auto) UsePerThread(Make&& make, Use&& use) {
  using Object = decltype(make());
  static thread_local void* mine = nullptr;  // trivially destructible
  if (mine == nullptr && !PerThreadObjectsGone()) {
    auto* made = new (std::nothrow) Object(make());
    const auto destroy = [](void* object) { delete static_cast<Object*>(object); };
    if (made != nullptr && KeepForThread(made, destroy, &mine)) {
      mine = made;
    } else {
      delete made;
    }
  }
  if (mine == nullptr) {
    Object fresh = make();
    return use(fresh);
  }
  return use(*static_cast<Object*>(mine));
}

}  // namespace ZQ::RVL::Utils::internal
