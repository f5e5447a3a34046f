#include "base/ThreadCache.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "platform/Threads.h"

namespace {

// How long a thread waits for its next body, and how many wait at most.
// Threads of a past peak end after the wait, off the busy time: a thread
// that ends releases its stack, which costs every CPU a TLB flush and cost
// more than serving its connection when thousands ended at once.
constexpr std::chrono::seconds kKeepAlive{10};
constexpr std::size_t kMostWaiting = 4096;

}  // namespace

// Shared by the cache and each of its threads, so that a thread still running
// when the cache goes away finds it intact.
struct TThreadCache::State {
  struct Job {
    void (*body)(void*);
    void* argument;
  };
  struct Start {
    std::shared_ptr<State> state;
    Job job;
  };

  std::mutex lock;
  std::condition_variable wake;
  std::vector<Job> jobs;    // handed to waiting threads, not yet taken
  std::size_t waiting = 0;  // never fewer than jobs
  bool closed = false;

  // The next body for a thread whose body has returned; false when the
  // thread is to end.
  bool Next(Job& job) {
    std::unique_lock<std::mutex> hold(lock);
    if (closed || waiting >= kMostWaiting) return false;
    ++waiting;
    const bool handed = wake.wait_for(hold, kKeepAlive, [&] { return closed || !jobs.empty(); });
    --waiting;
    if (!handed || jobs.empty()) return false;
    job = jobs.back();
    jobs.pop_back();
    return true;
  }

  static void Serve(void* argument) {
    // Every body catches what it throws itself (TThread::Run); a failure of
    // the wait ends the thread, never the process.
    try {
      const std::unique_ptr<Start> start(static_cast<Start*>(argument));
      Job job = start->job;
      do {
        job.body(job.argument);
      } while (start->state->Next(job));
    } catch (...) {
    }
  }
};

TThreadCache::TThreadCache(std::size_t stackBytes) : FState(std::make_shared<State>()), FStackBytes(stackBytes) {}

TThreadCache::~TThreadCache() {
  try {
    std::lock_guard<std::mutex> hold(FState->lock);
    FState->closed = true;
  } catch (...) {
  }
  FState->wake.notify_all();
}

bool TThreadCache::Run(void (*body)(void*), void* argument) {
  try {
    std::unique_lock<std::mutex> hold(FState->lock);
    if (FState->waiting > FState->jobs.size()) {
      FState->jobs.push_back(State::Job{body, argument});
      // Woken after the lock is let go, the thread does not wake only to
      // wait for it.
      hold.unlock();
      FState->wake.notify_one();
      return true;
    }
  } catch (...) {
    return false;
  }
  State::Start* start = new (std::nothrow) State::Start{FState, State::Job{body, argument}};
  if (start == nullptr) return false;
  platform::ThreadHandle thread = 0;
  if (!platform::StartThread(State::Serve, start, FStackBytes, thread)) {
    delete start;
    return false;
  }
  platform::DetachThread(thread);
  return true;
}
