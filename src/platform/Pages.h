#pragma once
// Memory straight from the system, given back to it when freed. For large
// buffers that exist only for a while: the C++ heap would keep them for
// reuse in each thread's arena long after the transfer that needed them.

#include <cstddef>

namespace platform {

// Zero-filled pages of at least `bytes`, or null.
void* AllocatePages(std::size_t bytes);
// `bytes` as given to AllocatePages.
void FreePages(void* pages, std::size_t bytes);

}  // namespace platform
