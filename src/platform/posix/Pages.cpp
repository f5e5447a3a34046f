#include "platform/Pages.h"

#include <sys/mman.h>

namespace platform {

void* AllocatePages(std::size_t bytes) {
  void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) {
  if (pages) ::munmap(pages, bytes);
}

}  // namespace platform
