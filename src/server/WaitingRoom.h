#pragma once
// Connections that the listener has accepted but that have not asked for
// anything yet. They wait here without a thread, all in one readiness wait
// with the listening sockets, until their first request is there to read:
// the opening header is read and answered here, as a worker would, and a
// worker is made only for the request that follows. A quiet client, a
// stalled peer or a port scan thus costs a few hundred bytes instead of a
// thread with its stack and transfer buffer. A connection from a listed
// balancer, and one from the TLS port, is handed on at its first byte: its
// worker reads the PROXY header, runs the TLS handshake and reads the
// opening header itself.
//
// Only the thread that leads the listener calls it; Wake is the exception.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ReadinessSet.h"
#include "platform/Tls.h"
#include "server/LiveAccess.h"
#include "server/ProcessThread.h"
#include "server/ServerConfig.h"
#include "server/TransferPace.h"
#include "server/WorkerSet.h"
#include "transfer/SocketLib.h"

// A connection with the worker that serves it from here on.
struct TTakenConnection {
  TSocket socket = INVALID_SOCK;
  std::unique_ptr<TProcessThread> worker;
  // The answered opening header's direction; -1 while the worker still has to
  // read it.
  int direction = -1;

  void Serve();
};

class TWaitingRoom {
 public:
  TWaitingRoom(TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers, TSharedRates rates,
               std::shared_ptr<TLiveAccess> access);
  TWaitingRoom(const TWaitingRoom&) = delete;
  TWaitingRoom& operator=(const TWaitingRoom&) = delete;

  // False when the readiness wait cannot be had or refuses a socket.
  bool WatchListening(TSocket listening);

  // Takes a connection accepted now: it counts in the worker set from here
  // on. Closed at once when it cannot be watched. While the [Access] rules
  // ban or cap clients, which closes a connection before its first byte,
  // it gets its worker at once, as every connection did before. With `tls`
  // the connection came in on the TLS port and is served over TLS.
  void Admit(TSocket socket, std::shared_ptr<const platform::TlsContext> tls);

  // Waits until a socket is ready, the first connection's wait runs out, or
  // Wake is called. `ready` holds the sockets to look at: the listening ones
  // to accept from, the others for Readable.
  void Wait(std::vector<TSocket>& ready);
  void Wake() { FSet.Wake(); }

  // A waiting connection reported readable: its bytes are read, or it is
  // handed on. Unknown sockets (the listening ones) are left alone.
  void Readable(TSocket socket);
  // The connections whose wait has run out: one still without its opening
  // header is logged and closed as a worker's Validate would; one that was
  // answered goes to a worker with its receiving side shut, so that its
  // conversation ends at its first read with the line of its own step.
  void Expire();

  // The next connection whose worker is to serve it; none (a null worker)
  // when no connection is ready.
  TTakenConnection NextTaken();

  // At the stop: every waiting connection with a worker of its own, as each
  // connection had before it was accepted here, so that it is served (or
  // awaited by a drain) as before. One cut off in the middle of its opening
  // header is logged and closed.
  std::vector<TTakenConnection> TakeAll();

  std::size_t Waiting() const { return FWaiting.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  // kFirstByte: the worker reads everything (a PROXY header, a TLS
  // handshake); kHandshake: the opening header is read here; kRequest: it
  // was answered, and the request is awaited.
  enum class TStage : std::uint8_t { kFirstByte, kHandshake, kRequest };
  struct TWaiting {
    TWorkerMembership membership;
    Clock::time_point accepted;
    Clock::time_point deadline;
    TStage stage;
    std::uint8_t direction = 0;
    std::uint8_t received = 0;  // of the opening header
    unsigned char header[MSG_HEADER_SIZE] = {};
    std::shared_ptr<const platform::TlsContext> tls = nullptr;
  };
  using TEntry = std::unordered_map<TSocket, TWaiting>::iterator;

  void ReadHandshake(TEntry entry);
  // Each wait for the peer is kPeerWaitSeconds, as in a worker.
  void WaitAgain(TEntry entry, bool armed);
  void Close(TEntry entry, std::int32_t result);
  // To a worker; the entry is gone afterwards.
  void HandOn(TEntry entry, int direction);

  const TServerConfigPtr FConfig;
  const std::shared_ptr<TWorkerSet> FWorkers;
  const TSharedRates FRates;
  const std::shared_ptr<TLiveAccess> FAccess;
  platform::ReadinessSet FSet;
  std::unordered_map<TSocket, TWaiting> FWaiting;
  // Every wait's end in the order they were set, which is the order they
  // fall due (each is as long as the others); one that a later one has
  // replaced is skipped when it falls due.
  std::deque<std::pair<Clock::time_point, TSocket>> FDeadlines;
  std::deque<TTakenConnection> FTaken;
};
