// Random bytes straight from the kernel: the source of fresh identifiers and
// of container IVs. Private to the library.
//
// Thread-safety: any thread may call these at once. Nothing is kept between
// calls (no pool of bytes, no lock), so a child process, however it was made
// (fork from a threaded parent, _Fork, clone into a new PID namespace), never
// repeats its parent's bytes and never waits on a lock its parent held.
#pragma once

#include <cstddef>

namespace ZQ::RVL::Utils::internal {

// Fills `size` bytes at `out` from getrandom(2), retrying when a signal
// interrupts it; when the call itself is unavailable (an old kernel, a seccomp
// filter) reads /dev/urandom instead. Returns false when neither gives all
// `size` bytes; `out` then holds no useful value.
bool ReadKernelRandom(unsigned char* out, std::size_t size);

// Fills `size` bytes at `out` by reading the file at `path` (the fallback
// reader, exposed so that its failures can be tested). Returns false when the
// file cannot be opened or read, or ends before `size` bytes.
bool ReadRandomFile(const char* path, unsigned char* out, std::size_t size);

}  // namespace ZQ::RVL::Utils::internal
