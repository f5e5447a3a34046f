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
// A plain download goes further here: its request is read as it comes, and
// the file check, the reply and the file's data follow here as well, so
// that a small download is served without a thread's sleep and wake. A
// worker's thread takes the connection only where the conversation would
// have to wait: the socket has no room for the rest of the file, a failure
// is reported to the web service, or the download is one this loop never
// serves (TProcessThread::BeginDownloadWithoutWaiting). The conversation's
// rules are the worker's own, called step by step.
//
// Only the thread that leads the listener calls it; Wake is the exception.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
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
  // A download begun in the waiting room, which the worker goes on with.
  bool continued = false;

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
  // was answered, and the request is awaited; kDownload: a download's
  // request is read here, by its worker's rules.
  enum class TStage : std::uint8_t { kFirstByte, kHandshake, kRequest, kDownload };
  struct TWaiting {
    TWorkerMembership membership;
    Clock::time_point accepted;
    Clock::time_point deadline;
    TStage stage;
    std::uint8_t direction = 0;
    std::uint8_t received = 0;  // of the opening header
    unsigned char header[MSG_HEADER_SIZE] = {};
    std::shared_ptr<const platform::TlsContext> tls = nullptr;
    // kDownload: the worker (made when the request's first byte came), and
    // the request's header and body as far as they have come.
    std::unique_ptr<TProcessThread> worker = nullptr;
    std::string request = {};
    std::size_t arrived = 0;
  };
  using TEntry = std::unordered_map<TSocket, TWaiting>::iterator;

  void ReadHandshake(TEntry entry);
  // `n` more bytes of the opening header have come (0: the peer closed, -1:
  // it failed); `armed`: the socket has been in the set before.
  void TakeHandshake(TEntry entry, long n, bool armed);
  // The request's first byte has come: a download is served here when its
  // worker allows, every other request goes to its worker.
  void BeginRequest(TEntry entry);
  void ReadDownloadRequest(TEntry entry);
  void ServeDownload(TEntry entry);
  // The download's request did not come whole: its worker writes the line,
  // and the connection is closed.
  void DropDownload(TEntry entry);
  std::unique_ptr<TProcessThread> MakeWorker(TEntry entry);
  // A step failed short of memory: the connection is closed (by its worker,
  // if it has one), and the listener goes on.
  void Discard(TSocket socket);
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
