// Keeps fork() and the store's calls apart, so that no lock descriptor of the
// store (and no lock of its own) is ever copied into a child while in use: a
// child that inherited a locked lock descriptor would block its own writes,
// and every writer of the domain, until it exited. Private to the store.
//
// Every call of the store holds a ForkGuard from start to end; fork() in any
// thread waits (pthread_atfork) until no call holds one, and calls that start
// meanwhile wait for the fork. _Fork() and clone() run no fork handlers: a
// child made so while another thread writes keeps that write's lock until it
// exits or execs, and the writers of the domain give up after kLockWait.
//
// Thread-safety: any number of threads may hold a ForkGuard at once; a thread
// holds at most one (calls of the store never nest). LocatePreferenceFiles
// and ListPreferenceDomains hold one too.
#pragma once

namespace ZQ::RVL::Utils::Preferences {

class ForkGuard {
 public:
  ForkGuard();
  ~ForkGuard();
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
};

}  // namespace ZQ::RVL::Utils::Preferences
