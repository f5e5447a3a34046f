#include "platform/ThreadMessages.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace platform {
namespace {

// POSIX has no thread message queues; the process keeps one for each thread
// that asks for it, which is the same as having them only where a message
// loop runs.
struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<ThreadMessage> messages;
};

std::mutex registryMutex;
std::map<ThreadId, std::shared_ptr<Queue>>& Registry() {
  static auto* registry = new std::map<ThreadId, std::shared_ptr<Queue>>();
  return *registry;
}

// Removes the thread's queue when the thread ends.
struct QueueOwner {
  ThreadId id = 0;
  std::shared_ptr<Queue> queue;
  ~QueueOwner() {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry().erase(id);
  }
};
thread_local QueueOwner ownQueue;

std::shared_ptr<Queue> Find(ThreadId id) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto it = Registry().find(id);
  return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

ThreadId CurrentThreadId() {
  return static_cast<ThreadId>(reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(pthread_self())));
}

void CreateMessageQueue() {
  if (ownQueue.queue) return;
  ownQueue.id = CurrentThreadId();
  ownQueue.queue = std::make_shared<Queue>();
  std::lock_guard<std::mutex> lock(registryMutex);
  Registry()[ownQueue.id] = ownQueue.queue;
}

bool PostMessageToThread(ThreadId thread, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam) {
  std::shared_ptr<Queue> queue = Find(thread);
  if (!queue) return false;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->messages.push_back({message, wParam, lParam});
  }
  queue->ready.notify_one();
  return true;
}

bool TakeMessage(ThreadMessage& out, bool wait) {
  CreateMessageQueue();
  Queue& queue = *ownQueue.queue;
  std::unique_lock<std::mutex> lock(queue.mutex);
  if (wait) queue.ready.wait(lock, [&] { return !queue.messages.empty(); });
  if (queue.messages.empty()) return false;
  out = queue.messages.front();
  queue.messages.pop_front();
  return true;
}

void QuitOtherThreads() {
  std::map<ThreadId, std::shared_ptr<Queue>> queues;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    queues = Registry();
  }
  ThreadId self = CurrentThreadId();
  for (auto& [id, queue] : queues)
    if (id != self) PostMessageToThread(id, kQuitMessage, 0, 0);
}

}  // namespace platform
