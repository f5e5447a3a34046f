#include "server/WaitingRoom.h"

#include <algorithm>
#include <new>

#include "platform/UniqueHandle.h"
#include "transfer/uGlobal.h"

namespace {
// The longest single wait, so that a stop is seen without a wake-up too.
constexpr int kLongestWaitMilliseconds = 10000;
}  // namespace

void TTakenConnection::Serve() {
  if (continued)
    worker->ContinueDownload();
  else if (direction < 0)
    worker->Serve();
  else
    worker->ServeAnswered(static_cast<std::uint8_t>(direction));
}

TWaitingRoom::TWaitingRoom(TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers, TSharedRates rates,
                           std::shared_ptr<TLiveAccess> access)
    : FConfig(std::move(config)), FWorkers(std::move(workers)), FRates(std::move(rates)), FAccess(std::move(access)) {}

bool TWaitingRoom::WatchListening(TSocket listening) { return FSet.Valid() && FSet.WatchListening(listening); }

void TWaitingRoom::Admit(TSocket socket, std::shared_ptr<const platform::TlsContext> tls) {
  platform::UniqueSocket held(socket);
  try {
    const std::string peer = GetPeerAddress(socket);
    const bool proxied = !FConfig->ProxyFrom.Empty() && FConfig->ProxyFrom.Contains(peer);
    const Clock::time_point now = Clock::now();
    const auto [entry, added] = FWaiting.try_emplace(
        socket, TWaiting{TWorkerMembership(FWorkers, socket), now, now,
                         proxied || tls ? TStage::kFirstByte : TStage::kHandshake});
    if (!added) return;  // cannot be: the system gives a number to one open socket at a time
    entry->second.membership.Progress().SetClient(peer);
    entry->second.tls = std::move(tls);
    held.release();
    const std::shared_ptr<const TAccessRules> rules = FAccess->Rules();
    if (rules->Ban.After > 0 || rules->MaxConnectionsPerHost > 0) {
      HandOn(entry, -1);
      return;
    }
    // Counted for its client all the same, so that a cap that a reload
    // brings finds the connections already open.
    if (!proxied) entry->second.membership.CountFrom(peer, 0);
    // A client sends its opening header right after it connects, so it is
    // often there by the accept: taken at once, it costs no wait in the set.
    if (entry->second.stage == TStage::kHandshake) {
      const long n = platform::NetRecvNow(socket, entry->second.header, MSG_HEADER_SIZE);
      if (n != platform::kNotReady) return TakeHandshake(entry, n, false);
    }
    WaitAgain(entry, false);
  } catch (...) {
    // Short of memory: the connection is closed, the listener goes on.
    if (FWaiting.erase(socket) != 0 && !held.valid()) CloseSocket(socket);
  }
}

void TWaitingRoom::WaitAgain(TEntry entry, bool armed) {
  TWaiting& waiting = entry->second;
  if (!FSet.WatchOnce(entry->first, armed)) {
    Close(entry, rcSuccess);
    return;
  }
  waiting.deadline = Clock::now() + std::chrono::seconds(kPeerWaitSeconds);
  FDeadlines.emplace_back(waiting.deadline, entry->first);
}

void TWaitingRoom::Wait(std::vector<TSocket>& ready) {
  // Nobody waits: what is left are ends of waits already over.
  if (FWaiting.empty()) FDeadlines.clear();
  int milliseconds = kLongestWaitMilliseconds;
  if (!FDeadlines.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(FDeadlines.front().first - Clock::now()).count();
    milliseconds = static_cast<int>(std::clamp<decltype(left)>(left, 0, kLongestWaitMilliseconds));
  }
  FSet.Wait(ready, milliseconds);
}

void TWaitingRoom::Readable(TSocket socket) {
  const TEntry entry = FWaiting.find(socket);
  if (entry == FWaiting.end()) return;
  switch (entry->second.stage) {
    case TStage::kHandshake:
      ReadHandshake(entry);
      return;
    case TStage::kRequest:
    case TStage::kDownload:
      try {
        if (entry->second.stage == TStage::kRequest)
          BeginRequest(entry);
        else
          ReadDownloadRequest(entry);
      } catch (...) {
        Discard(socket);
      }
      return;
    case TStage::kFirstByte:
      HandOn(entry, -1);
      return;
  }
}

void TWaitingRoom::ReadHandshake(TEntry entry) {
  TWaiting& waiting = entry->second;
  // Reported readable, the socket gives what has come without a wait, on
  // every system (Windows has no receive that never waits on a blocking
  // socket).
  const long n = platform::NetRecv(entry->first, waiting.header + waiting.received,
                                   MSG_HEADER_SIZE - waiting.received);
  TakeHandshake(entry, n, true);
}

void TWaitingRoom::TakeHandshake(TEntry entry, long n, bool armed) {
  TWaiting& waiting = entry->second;
  // The peer closed or failed before its header was whole.
  if (n <= 0) return Close(entry, rcReadTimeout);
  waiting.received = static_cast<std::uint8_t>(waiting.received + n);
  if (waiting.received < MSG_HEADER_SIZE) return WaitAgain(entry, armed);

  std::uint8_t direction = 0;
  const std::int32_t result = TProcessThread::AnswerHandshake(entry->first, DecodeHeader(waiting.header), direction);
  if (result != rcSuccess) return Close(entry, result);
  waiting.stage = TStage::kRequest;
  waiting.direction = direction;
  WaitAgain(entry, armed);
}

void TWaitingRoom::BeginRequest(TEntry entry) {
  TWaiting& waiting = entry->second;
  if (waiting.direction != 0) return HandOn(entry, waiting.direction);
  waiting.worker = MakeWorker(entry);
  if (!waiting.worker) {
    // Its membership has left the set with the worker that was not made.
    const TSocket socket = entry->first;
    FWaiting.erase(entry);
    CloseSocket(socket);
    return;
  }
  if (waiting.worker->InitializeResult() != rcSuccess || !waiting.worker->BeginDownloadWithoutWaiting())
    return HandOn(entry, waiting.direction);
  waiting.stage = TStage::kDownload;
  waiting.request.resize(MSG_HEADER_SIZE);
  ReadDownloadRequest(entry);
}

void TWaitingRoom::ReadDownloadRequest(TEntry entry) {
  TWaiting& waiting = entry->second;
  std::string& request = waiting.request;
  // Reported readable, the socket gives what has come without a wait; the
  // rest is taken as far as it is there, and awaited in the set.
  long n = platform::NetRecv(entry->first, request.data() + waiting.arrived, request.size() - waiting.arrived);
  for (;;) {
    if (n == platform::kNotReady) return WaitAgain(entry, true);
    // The peer closed or failed before its request was whole.
    if (n <= 0) return DropDownload(entry);
    waiting.arrived += static_cast<std::size_t>(n);
    if (waiting.arrived == MSG_HEADER_SIZE && request.size() == MSG_HEADER_SIZE) {
      const MsgHeader header = DecodeHeader(reinterpret_cast<const unsigned char*>(request.data()));
      if (!waiting.worker->DownloadRequestHeader(header)) {
        FWaiting.erase(entry);
        return;
      }
      // A zero after the body ends its text.
      request.resize(MSG_HEADER_SIZE + static_cast<std::size_t>(std::max(header.SIZE, 0)) + 1);
    }
    if (waiting.arrived == request.size() - 1) return ServeDownload(entry);
    n = platform::NetRecvNow(entry->first, request.data() + waiting.arrived, request.size() - 1 - waiting.arrived);
  }
}

void TWaitingRoom::ServeDownload(TEntry entry) {
  TWaiting& waiting = entry->second;
  const MsgHeader header = DecodeHeader(reinterpret_cast<const unsigned char*>(waiting.request.data()));
  if (waiting.worker->DownloadWithoutWaiting(header, waiting.request.data() + MSG_HEADER_SIZE)) {
    // The worker closes the connection once it has left the waiting room,
    // so that its number is free only when nothing here refers to it.
    const std::unique_ptr<TProcessThread> ended = std::move(waiting.worker);
    FWaiting.erase(entry);
    return;
  }
  TTakenConnection taken;
  taken.socket = entry->first;
  taken.worker = std::move(waiting.worker);
  taken.direction = 0;
  taken.continued = true;
  FWaiting.erase(entry);
  try {
    FTaken.push_back(std::move(taken));
  } catch (...) {
  }
}

void TWaitingRoom::DropDownload(TEntry entry) {
  entry->second.worker->DownloadRequestMissing(entry->second.arrived >= MSG_HEADER_SIZE);
  const std::unique_ptr<TProcessThread> ended = std::move(entry->second.worker);
  FWaiting.erase(entry);
}

void TWaitingRoom::Expire() {
  const Clock::time_point now = Clock::now();
  while (!FDeadlines.empty() && FDeadlines.front().first <= now) {
    const auto [deadline, socket] = FDeadlines.front();
    FDeadlines.pop_front();
    const TEntry entry = FWaiting.find(socket);
    if (entry == FWaiting.end() || entry->second.deadline != deadline) continue;
    if (entry->second.stage == TStage::kHandshake) {
      Close(entry, rcReadTimeout);
      continue;
    }
    if (entry->second.stage == TStage::kDownload) {
      try {
        DropDownload(entry);
      } catch (...) {
        Discard(socket);
      }
      continue;
    }
    FSet.Forget(socket);
    if (entry->second.stage == TStage::kRequest) platform::NetShutdownReceive(socket);
    HandOn(entry, entry->second.stage == TStage::kRequest ? entry->second.direction : -1);
  }
}

void TWaitingRoom::Close(TEntry entry, std::int32_t result) {
  const TSocket socket = entry->first;
  try {
    // The line names the peer while the socket is still open.
    TProcessThread::LogHandshakeFailure(FConfig->LogPath, GetPeerAddress(socket), result);
  } catch (...) {
  }
  // Out of the set before the close, so that the number cannot be cut once
  // the system has given it to another connection.
  FWaiting.erase(entry);
  CloseSocket(socket);
}

void TWaitingRoom::Discard(TSocket socket) {
  const TEntry entry = FWaiting.find(socket);
  if (entry == FWaiting.end()) return;
  // A worker closes its socket; without one it is closed here.
  const bool held = entry->second.worker == nullptr;
  FWaiting.erase(entry);
  if (held) CloseSocket(socket);
}

std::unique_ptr<TProcessThread> TWaitingRoom::MakeWorker(TEntry entry) {
  try {
    return std::make_unique<TProcessThread>(std::move(entry->second.membership), entry->first, entry->second.accepted,
                                            FConfig, FRates, FAccess, std::move(entry->second.tls));
  } catch (...) {
    return nullptr;
  }
}

void TWaitingRoom::HandOn(TEntry entry, int direction) {
  const TSocket socket = entry->first;
  TTakenConnection taken;
  taken.socket = socket;
  taken.direction = direction;
  taken.worker = entry->second.worker ? std::move(entry->second.worker) : MakeWorker(entry);
  const bool made = taken.worker != nullptr;
  FWaiting.erase(entry);
  if (!made) {
    // Its membership has left the set with the entry.
    CloseSocket(socket);
    return;
  }
  // A worker without its buffer has logged that, and closes the connection.
  if (taken.worker->InitializeResult() != rcSuccess) return;
  try {
    FTaken.push_back(std::move(taken));
  } catch (...) {
  }
}

TTakenConnection TWaitingRoom::NextTaken() {
  if (FTaken.empty()) return {};
  TTakenConnection taken = std::move(FTaken.front());
  FTaken.pop_front();
  return taken;
}

std::vector<TTakenConnection> TWaitingRoom::TakeAll() {
  std::vector<TTakenConnection> all;
  try {
    while (!FWaiting.empty()) {
      const TEntry entry = FWaiting.begin();
      const TWaiting& waiting = entry->second;
      if (waiting.stage == TStage::kHandshake && waiting.received > 0) {
        Close(entry, rcReadTimeout);
        continue;
      }
      if (waiting.stage == TStage::kDownload) {
        DropDownload(entry);
        continue;
      }
      FSet.Forget(entry->first);
      HandOn(entry, waiting.stage == TStage::kRequest ? waiting.direction : -1);
    }
    FDeadlines.clear();
    for (TTakenConnection& taken : FTaken) all.push_back(std::move(taken));
    FTaken.clear();
  } catch (...) {
  }
  return all;
}
