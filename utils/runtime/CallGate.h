// Gates that keep fork() and OpenSSL's clean-up at exit out of the library's
// work in flight. Private to the library (not installed).
//
// Each gate covers one kind of work, entered by an Inside object that lives
// as long as the work:
// - kStore: a call of the settings store, start to end. A child made while a
//   store call held a domain's lock descriptor would keep that lock until it
//   exits, and every writer of the domain would wait for it.
// - kOpenSsl: a stretch in which the library calls OpenSSL (never the
//   caller's stream I/O, which may wait for ever). A child made while another
//   thread was inside OpenSSL may inherit one of OpenSSL's locks held, and
//   OpenSSL's clean-up at exit frees what such a stretch uses.
//
// fork(): a handler registered at load (pthread_atfork) closes both gates in
// that order, waits until no other thread is inside either, then takes the
// build lock of ProcessWide.h; parent and child open them again afterwards.
// A fork made inside a gate (from a signal handler that interrupted the
// library) does not wait for its own thread, and the forking thread itself
// passes both gates until its parent or child handler has run: a host's fork
// handler registered before the library's runs in between and may call it. _Fork(), vfork() and
// clone() run no handlers: a child made so while another thread was inside may find the store's or
// OpenSSL's locks held (the library's own random bytes need none: KernelRandom.h).
//
// Exit: ShutForGood(kOpenSsl) runs at the start of OpenSSL's clean-up. It
// waits until no other thread is inside, and from then on an Inside of the
// gate is not Open(): the holder must not call OpenSSL at all.
//
// Cancellation: a thread inside a gate cannot be cancelled. The outermost
// Inside disables it and puts the thread's state back when it ends, so a
// request made meanwhile takes effect at the thread's next cancellation point
// after the library's work; the gates' own waits are not cancellation points.
//
// Thread-safety: any thread may enter either gate at any time, and again
// while inside (the inner Inside neither waits nor counts).
#pragma once

namespace ZQ::RVL::Utils::internal {

enum class Gate { kStore = 0, kOpenSsl = 1 };

class Inside {
 public:
  // Enters `gate`, waiting while a fork made by another thread is under way.
  explicit Inside(Gate gate) noexcept;
  ~Inside();
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

  // False when the gate is shut for good; the work must then not be done.
  bool Open() const noexcept { return open_; }

 private:
  Gate gate_;
  bool counted_ = false;
  bool open_ = false;
  int cancelState_ = 0;
};

// Shuts `gate` for good and waits until no other thread is inside it. Later
// Insides of it (and those of this thread already inside) are not Open().
void ShutForGood(Gate gate) noexcept;

}  // namespace ZQ::RVL::Utils::internal
