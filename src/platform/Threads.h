#pragma once
// Operating-system threads with a stack size of the caller's choosing.

#include <cstddef>
#include <cstdint>

namespace platform {

using ThreadHandle = std::uintptr_t;

// Runs `body(argument)` on a new thread whose stack reserves `stackBytes`.
// False, with nothing started, when the system cannot make the thread.
bool StartThread(void (*body)(void*), void* argument, std::size_t stackBytes, ThreadHandle& handle);
// Waits for the thread to return, then releases the handle.
void JoinThread(ThreadHandle handle);
// Releases the handle; the thread runs on and cleans up after itself.
void DetachThread(ThreadHandle handle);

}  // namespace platform
