// Memory that no child process inherits: every child, however it was made
// (fork, _Fork, a raw clone, a new PID namespace where it has its parent's
// process id), finds it zeroed, because it lies in a page the kernel wipes
// in children (MADV_WIPEONFORK). For what belongs to the process that made
// it: random bytes not yet handed out, a flag that a thread of this process
// is in a call. Private to the library (not installed).
#pragma once

#include <cstddef>

namespace ZQ::RVL::Utils::internal {

inline constexpr std::size_t kChildWipedSize = 4096;

// Returns kChildWipedSize zeroed bytes that every child finds zeroed, or null
// where the kernel refuses that (before Linux 4.14) or memory runs out.
void* NewChildWiped() noexcept;

// Frees what NewChildWiped returned (null does nothing).
void FreeChildWiped(void* memory) noexcept;

}  // namespace ZQ::RVL::Utils::internal
