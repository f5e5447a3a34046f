#include "base/ThreadCache.h"

#include <chrono>
#include <condition_variable>
#include <list>
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
    std::list<platform::ThreadHandle>::iterator self;
  };

  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable gone;  // a thread has ended
  std::vector<Job> jobs;    // handed to waiting threads, not yet taken
  std::size_t waiting = 0;  // never fewer than jobs
  bool closed = false;
  // Once the cache is gone nobody joins: every thread is detached then.
  bool detached = false;
  std::list<platform::ThreadHandle> running;  // threads that have not ended
  std::vector<platform::ThreadHandle> ended;  // ended, still to be joined

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

  // The last step of a thread: its handle goes where the next Run or JoinAll
  // joins it, unless the cache has let go of it already.
  void Ended(std::list<platform::ThreadHandle>::iterator self) {
    std::lock_guard<std::mutex> hold(lock);
    if (!detached) ended.push_back(*self);
    running.erase(self);
    gone.notify_all();
  }

  // Joins the threads that have ended; they are gone or about to be, so
  // each join takes no time worth counting.
  void JoinEnded() {
    std::vector<platform::ThreadHandle> handles;
    {
      std::lock_guard<std::mutex> hold(lock);
      handles.swap(ended);
    }
    for (platform::ThreadHandle handle : handles) platform::JoinThread(handle);
  }

  static void Serve(void* argument) {
    // Every body catches what it throws itself (TThread::Run); a failure of
    // the wait ends the thread, never the process.
    const std::unique_ptr<Start> start(static_cast<Start*>(argument));
    try {
      Job job = start->job;
      do {
        job.body(job.argument);
      } while (start->state->Next(job));
    } catch (...) {
    }
    try {
      start->state->Ended(start->self);
    } catch (...) {
    }
  }
};

TThreadCache::TThreadCache(std::size_t stackBytes) : FState(std::make_shared<State>()), FStackBytes(stackBytes) {}

TThreadCache::~TThreadCache() {
  try {
    std::lock_guard<std::mutex> hold(FState->lock);
    FState->closed = true;
    FState->detached = true;
    for (platform::ThreadHandle handle : FState->running) platform::DetachThread(handle);
    for (platform::ThreadHandle handle : FState->ended) platform::DetachThread(handle);
    FState->ended.clear();
  } catch (...) {
  }
  FState->wake.notify_all();
}

void TThreadCache::JoinAll() {
  try {
    std::unique_lock<std::mutex> hold(FState->lock);
    FState->closed = true;
    FState->wake.notify_all();
    FState->gone.wait(hold, [&] { return FState->running.empty(); });
  } catch (...) {
    return;
  }
  FState->JoinEnded();
}

bool TThreadCache::Closed() const {
  std::lock_guard<std::mutex> hold(FState->lock);
  return FState->closed;
}

bool TThreadCache::Run(void (*body)(void*), void* argument) {
  try {
    std::unique_lock<std::mutex> hold(FState->lock);
    if (FState->closed) return false;
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
  // A new thread is the time to join those that have ended.
  FState->JoinEnded();
  State::Start* start = new (std::nothrow) State::Start{FState, State::Job{body, argument}, {}};
  if (start == nullptr) return false;
  // The handle is in place before the thread can look for it: the thread
  // takes the lock to end.
  std::lock_guard<std::mutex> hold(FState->lock);
  try {
    start->self = FState->running.insert(FState->running.end(), platform::ThreadHandle{});
  } catch (...) {
    delete start;
    return false;
  }
  bool started = false;
  try {
    started = platform::StartThread(State::Serve, start, FStackBytes, *start->self);
  } catch (...) {
  }
  if (!started) {
    FState->running.erase(start->self);
    delete start;
    return false;
  }
  return true;
}
