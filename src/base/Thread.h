#pragma once
// An operating-system thread wrapped in an object: created suspended, started
// by Resume, asked to stop through its terminate flag, and either waited for
// by its owner or set to free itself when its body returns.

#include <atomic>
#include <cstddef>

#include "platform/Threads.h"

class TThread {
 public:
  // Every thread of the server gets this much stack: one per connection adds
  // up, and the deepest body, a conversation with its 16000-byte command body
  // on the stack and an HTTP report, needs a fraction of it.
  static constexpr std::size_t kStackBytes = 256 * 1024;

  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Waits for a running thread that does not free itself.
  virtual ~TThread();

  // Starts the body. Throws std::system_error when no thread can be made.
  void Resume();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  void WaitFor();
  void SetFreeOnTerminate(bool free) { FFreeOnTerminate = free; }

 protected:
  // The thread body. Anything it throws is caught and dropped: no failure of
  // one thread may end the process.
  virtual void Execute() = 0;

 private:
  static void Run(void* thread);

  std::atomic<bool> FTerminated{false};
  bool FFreeOnTerminate = false;
  bool FJoinable = false;
  platform::ThreadHandle FThread = 0;
};
