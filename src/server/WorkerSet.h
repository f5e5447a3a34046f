#pragma once
// The workers of one listener: the threads they run on, how many exist, and
// the connections they hold open. Shared by the listener and each of its
// workers, so that workers still serving when the listener goes away find
// it intact, and so that a drain can still count them.

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "base/Thread.h"
#include "base/ThreadCache.h"
#include "transfer/SocketLib.h"

class TWorkerSet {
 public:
  TWorkerSet() = default;
  TWorkerSet(const TWorkerSet&) = delete;
  TWorkerSet& operator=(const TWorkerSet&) = delete;

  // Runs `body(argument)` on a thread of the set. False, with nothing
  // started, when no thread can be made or CutAllAndWait has begun.
  bool Run(void (*body)(void*), void* argument) { return FThreads.Run(body, argument); }

  // Workers that exist right now.
  int Live() const { return FLive; }
  // Connections open right now, for the connection limit: a worker in its
  // completion pause or report no longer counts.
  int OpenConnections() const;

  // Shuts down every open connection, so that each worker ends at its next
  // send or receive, then waits until every worker and thread has ended.
  // For the end of a test run in-process; never from a worker.
  void CutAllAndWait();

 private:
  friend class TWorkerMembership;
  void Joined(TSocket socket);
  void Closing(TSocket socket);
  void Left() { --FLive; }

  mutable std::mutex FLock;
  std::unordered_set<TSocket> FOpen;
  std::atomic<int> FLive{0};
  TThreadCache FThreads{TThread::kStackBytes};
};

// A worker's place in its set: its life, from its creation to its end, and
// its connection's, from the accept to the close. A member of the worker, so
// that a worker whose construction fails half-way leaves the set exactly as
// it was: no connection counted for good, no number that a cut could reach
// once the system gives it to another connection.
class TWorkerMembership {
 public:
  TWorkerMembership(std::shared_ptr<TWorkerSet> workers, TSocket socket);
  ~TWorkerMembership();
  TWorkerMembership(const TWorkerMembership&) = delete;
  TWorkerMembership& operator=(const TWorkerMembership&) = delete;

  // Just before the connection's socket is closed.
  void Closing();

 private:
  const std::shared_ptr<TWorkerSet> FWorkers;
  TSocket FSocket;
};
