#pragma once
// The workers of one listener: the threads they run on, how many exist, and
// the connections they hold open. Shared by the listener and each of its
// workers, so that workers still serving when the listener goes away find
// it intact, and so that a drain can still count them.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Thread.h"
#include "base/ThreadCache.h"
#include "server/TransferProgress.h"
#include "transfer/SocketLib.h"

class TWorkerSet {
 public:
  TWorkerSet() = default;
  TWorkerSet(const TWorkerSet&) = delete;
  TWorkerSet& operator=(const TWorkerSet&) = delete;

  // Runs `body(argument)` on a thread of the set. False, with nothing
  // started, when no thread can be made or CutAllAndWait has begun.
  bool Run(void (*body)(void*), void* argument) { return FThreads.Run(body, argument); }
  // CutAllAndWait has begun: no connection can be served any more.
  bool Closed() const { return FThreads.Closed(); }

  // Connections held right now: those with a worker, and those waiting for
  // their first request without one (the listener's TWaitingRoom).
  int Live() const { return FLive; }
  // Connections open right now, for the connection limit: a worker in its
  // completion pause or report no longer counts.
  int OpenConnections() const;

  // Shuts down every open connection, so that each worker ends at its next
  // send or receive, then waits until every worker and thread has ended.
  // For the end of a test run in-process; never from a worker.
  void CutAllAndWait();

  // How far each open connection got, newest first.
  std::vector<TTransferSnapshot> Transfers() const;
  // Ends the conversation of open connection `id` as if its client had
  // closed: it is marked cut and its socket shut down, so that the worker
  // ends at its next send or receive, logging and reporting as always.
  // False when no open connection has that id; `client` is its client.
  bool Cut(std::uint64_t id, std::string& client);

 private:
  friend class TWorkerMembership;
  std::shared_ptr<TTransferProgress> Joined(TSocket socket);
  void Closing(TSocket socket);
  void Left() { --FLive; }
  // One more open connection from the client `key`, unless `cap` (0: no
  // cap) are open from it already.
  bool JoinedFrom(const std::string& key, int cap);
  void LeftFrom(const std::string& key);

  mutable std::mutex FLock;
  std::unordered_map<TSocket, std::shared_ptr<TTransferProgress>> FOpen;
  // Open connections by client; a client with none has no entry.
  std::unordered_map<std::string, int> FOpenFrom;
  std::uint64_t FLastId = 0;
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
  // From the listener's waiting room to the worker it makes once the first
  // request is there: the connection keeps its place and its number.
  TWorkerMembership(TWorkerMembership&& other) noexcept;
  ~TWorkerMembership();
  TWorkerMembership(const TWorkerMembership&) = delete;
  TWorkerMembership& operator=(TWorkerMembership&&) = delete;
  TWorkerMembership& operator=(const TWorkerMembership&) = delete;

  // Counts the connection as one from `client` (the PROXY header's client
  // behind a balancer) until it closes; false, counting nothing, when `cap`
  // (0: no cap) connections from that client are open already.
  bool CountFrom(const std::string& client, int cap);
  // Just before the connection's socket is closed.
  void Closing();

  // The connection's progress, which its conversation keeps up to date.
  TTransferProgress& Progress() { return *FProgress; }

 private:
  std::shared_ptr<TWorkerSet> FWorkers;  // null once moved away
  TSocket FSocket;
  std::shared_ptr<TTransferProgress> FProgress;
  std::string FFrom;  // the client it counts for; empty while it counts for none
};
