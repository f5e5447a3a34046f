#pragma once
// Threads that outlive their body: when one returns, its thread waits a while
// for the next body instead of ending. A server that takes many short
// connections would otherwise create and end a thread for each, which costs
// more than the conversation it carries.

#include <cstddef>
#include <memory>

class TThreadCache {
 public:
  explicit TThreadCache(std::size_t stackBytes);
  TThreadCache(const TThreadCache&) = delete;
  TThreadCache& operator=(const TThreadCache&) = delete;
  // Waiting threads end now; a thread still running its body ends when the
  // body returns, on its own: the cache does not wait for it.
  ~TThreadCache();

  // Runs `body(argument)` on a waiting thread, or on a new one. False, with
  // nothing started, when no thread can be made or JoinAll has begun.
  bool Run(void (*body)(void*), void* argument);

  // Waiting threads end now; then waits until every body has returned and
  // every thread has ended. Never from a thread of the cache itself.
  void JoinAll();
  // JoinAll has begun: Run makes no thread any more.
  bool Closed() const;

 private:
  struct State;
  std::shared_ptr<State> FState;
  std::size_t FStackBytes;
};
