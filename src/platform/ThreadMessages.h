#pragma once
// Per-thread message queues, for the threads of the process that run a
// message loop (the service host). On Windows these are the system's thread
// message queues; on POSIX the process keeps queues of its own.

#include <cstdint>

namespace platform {

using ThreadId = std::uint64_t;

constexpr unsigned kQuitMessage = 18;  // WM_QUIT

struct ThreadMessage {
  unsigned message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

ThreadId CurrentThreadId();

// Creates the calling thread's queue if it has none yet; messages posted to
// the thread from then on wait in it.
void CreateMessageQueue();

// False when the thread has no queue.
bool PostMessageToThread(ThreadId thread, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam);

// Takes the next message of the calling thread's queue: waits for one when
// `wait` is set, otherwise returns false when none is queued.
bool TakeMessage(ThreadMessage& out, bool wait);

// Posts a quit message to every other thread of the process that can receive
// one. Throws std::runtime_error with the system's text when the threads
// cannot be enumerated.
void QuitOtherThreads();

}  // namespace platform
