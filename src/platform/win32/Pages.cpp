#include "platform/Pages.h"

#include <windows.h>

namespace platform {

void* AllocatePages(std::size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) {
  if (pages) ::VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace platform
