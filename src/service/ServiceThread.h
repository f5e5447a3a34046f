#pragma once
// The service thread: runs every handler of its service, one at a time, and
// turns the control codes that the control handler posts into them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/Thread.h"
#include "platform/ThreadMessages.h"

class TService;

// The thread message that carries a control code (the first user message
// number plus one); the code is its first parameter.
constexpr unsigned kControlMessage = 0x0401;

class TServiceThread : public TThread {
 public:
  explicit TServiceThread(TService& service);

  // From the control handler's thread: queues the code for this thread and
  // wakes the thread when it is paused. A code that arrives before the
  // thread has its queue is lost, as the platform's own post would be.
  void PostControl(std::uint32_t code);

  // Handles queued requests: with `wait`, waiting for each until the thread
  // is told to terminate; without, until none is queued. A quit message ends
  // it either way.
  void ProcessRequests(bool wait);

 protected:
  void Execute() override;

 private:
  void HandleControl(std::uint32_t code);
  bool ActOn(std::uint32_t code);
  // Paused: blocks until the next control request has been queued.
  void Suspend();

  TService& FService;
  std::atomic<platform::ThreadId> FThreadId{0};
  std::mutex FMutex;
  std::condition_variable FControlQueued;
  int FQueuedControls = 0;  // posted but not yet taken
};
