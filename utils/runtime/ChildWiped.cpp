#include "utils/runtime/ChildWiped.h"

#include <sys/mman.h>

namespace ZQ::RVL::Utils::internal {

void* NewChildWiped() noexcept {
  void* page =
      ::mmap(nullptr, kChildWipedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return nullptr;
  if (::madvise(page, kChildWipedSize, MADV_WIPEONFORK) != 0) {
    ::munmap(page, kChildWipedSize);
    return nullptr;
  }
  return page;
}

void FreeChildWiped(void* memory) noexcept {
  if (memory != nullptr) ::munmap(memory, kChildWipedSize);
}

}  // namespace ZQ::RVL::Utils::internal
