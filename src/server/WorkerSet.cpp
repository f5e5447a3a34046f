#include "server/WorkerSet.h"

#include <algorithm>
#include <utility>

#include "platform/Sockets.h"
#include "server/AccessRules.h"

std::shared_ptr<TTransferProgress> TWorkerSet::Joined(TSocket socket) {
  std::shared_ptr<TTransferProgress> progress;
  {
    std::lock_guard<std::mutex> hold(FLock);
    progress = std::make_shared<TTransferProgress>(++FLastId);
    if (socket != INVALID_SOCK) FOpen.emplace(socket, progress);
  }
  ++FLive;
  return progress;
}

void TWorkerSet::Closing(TSocket socket) {
  // Taken out under the lock before the close, so that a cut never reaches
  // a number the system may already have given to another connection.
  std::lock_guard<std::mutex> hold(FLock);
  FOpen.erase(socket);
}

bool TWorkerSet::JoinedFrom(const std::string& key, int cap) {
  std::lock_guard<std::mutex> hold(FLock);
  int& open = FOpenFrom[key];
  if (cap > 0 && open >= cap) {
    if (open == 0) FOpenFrom.erase(key);
    return false;
  }
  ++open;
  return true;
}

void TWorkerSet::LeftFrom(const std::string& key) {
  std::lock_guard<std::mutex> hold(FLock);
  const auto found = FOpenFrom.find(key);
  if (found != FOpenFrom.end() && --found->second <= 0) FOpenFrom.erase(found);
}

int TWorkerSet::OpenConnections() const {
  std::lock_guard<std::mutex> hold(FLock);
  return static_cast<int>(FOpen.size());
}

std::vector<TTransferSnapshot> TWorkerSet::Transfers() const {
  std::vector<TTransferSnapshot> transfers;
  {
    std::lock_guard<std::mutex> hold(FLock);
    transfers.reserve(FOpen.size());
    for (const auto& open : FOpen) transfers.push_back(open.second->Snapshot());
  }
  std::sort(transfers.begin(), transfers.end(),
            [](const TTransferSnapshot& a, const TTransferSnapshot& b) { return a.Id > b.Id; });
  return transfers;
}

bool TWorkerSet::Cut(std::uint64_t id, std::string& client) {
  std::lock_guard<std::mutex> hold(FLock);
  for (const auto& [socket, progress] : FOpen) {
    if (progress->Id() != id) continue;
    progress->MarkCut();
    client = progress->Snapshot().Client;
    platform::NetShutdown(socket);
    return true;
  }
  return false;
}

void TWorkerSet::CutAllAndWait() {
  {
    std::lock_guard<std::mutex> hold(FLock);
    for (const auto& open : FOpen) platform::NetShutdown(open.first);
  }
  FThreads.JoinAll();
}

TWorkerMembership::TWorkerMembership(std::shared_ptr<TWorkerSet> workers, TSocket socket)
    : FWorkers(std::move(workers)), FSocket(socket), FProgress(FWorkers->Joined(socket)) {}

TWorkerMembership::TWorkerMembership(TWorkerMembership&& other) noexcept
    : FWorkers(std::move(other.FWorkers)),
      FSocket(std::exchange(other.FSocket, INVALID_SOCK)),
      FProgress(std::move(other.FProgress)),
      FFrom(std::move(other.FFrom)) {
  other.FFrom.clear();
}

TWorkerMembership::~TWorkerMembership() {
  if (!FWorkers) return;
  Closing();
  FWorkers->Left();
}

bool TWorkerMembership::CountFrom(const std::string& client, int cap) {
  const std::string key = ClientKey(client);
  if (key.empty()) return true;
  if (!FWorkers->JoinedFrom(key, cap)) return false;
  FFrom = key;
  return true;
}

void TWorkerMembership::Closing() {
  if (!FFrom.empty()) FWorkers->LeftFrom(FFrom);
  FFrom.clear();
  // Once only: after the close the number may belong to another connection.
  if (FSocket == INVALID_SOCK) return;
  FWorkers->Closing(FSocket);
  FSocket = INVALID_SOCK;
}
