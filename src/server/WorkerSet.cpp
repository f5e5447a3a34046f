#include "server/WorkerSet.h"

#include <utility>

#include "platform/Sockets.h"

void TWorkerSet::Joined(TSocket socket) {
  if (socket != INVALID_SOCK) {
    std::lock_guard<std::mutex> hold(FLock);
    FOpen.insert(socket);
  }
  ++FLive;
}

void TWorkerSet::Closing(TSocket socket) {
  // Taken out under the lock before the close, so that a cut never reaches
  // a number the system may already have given to another connection.
  std::lock_guard<std::mutex> hold(FLock);
  FOpen.erase(socket);
}

int TWorkerSet::OpenConnections() const {
  std::lock_guard<std::mutex> hold(FLock);
  return static_cast<int>(FOpen.size());
}

void TWorkerSet::CutAllAndWait() {
  {
    std::lock_guard<std::mutex> hold(FLock);
    for (TSocket socket : FOpen) platform::NetShutdown(socket);
  }
  FThreads.JoinAll();
}

TWorkerMembership::TWorkerMembership(std::shared_ptr<TWorkerSet> workers, TSocket socket)
    : FWorkers(std::move(workers)), FSocket(socket) {
  FWorkers->Joined(socket);
}

TWorkerMembership::~TWorkerMembership() {
  Closing();
  FWorkers->Left();
}

void TWorkerMembership::Closing() {
  // Once only: after the close the number may belong to another connection.
  if (FSocket == INVALID_SOCK) return;
  FWorkers->Closing(FSocket);
  FSocket = INVALID_SOCK;
}
