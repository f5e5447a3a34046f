#include "server/UploadWriters.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/ResolvedPaths.h"

// The claims held right now. Few uploads run at once, so a list serves.
class TUploadWriters {
 public:
  static TUploadWriters& Instance() {
    // Workers may still run while the process exits: never destroyed.
    static auto* writers = new TUploadWriters;
    return *writers;
  }

  bool Claim(TUploadClaim& claim, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::unique_lock<std::mutex> lock(FMutex);
    for (TUploadClaim* holder; (holder = HolderOf(claim.FPath)) != nullptr;) {
      Cut(*holder);
      if (FReleased.wait_until(lock, deadline) == std::cv_status::timeout && HolderOf(claim.FPath)) return false;
    }
    FClaims.push_back(&claim);
    claim.FHeld = true;
    return true;
  }

  void AwaitCompletion(const std::string& path, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::unique_lock<std::mutex> lock(FMutex);
    FReleased.wait_until(lock, deadline, [this, &path] {
      const TUploadClaim* holder = HolderOf(path);
      return holder == nullptr || holder->FSocket != INVALID_SOCK;
    });
  }

  void ForgetSocket(TUploadClaim& claim) {
    std::lock_guard<std::mutex> lock(FMutex);
    claim.FSocket = INVALID_SOCK;
  }

  void Release(TUploadClaim& claim) {
    std::lock_guard<std::mutex> lock(FMutex);
    FClaims.erase(std::remove(FClaims.begin(), FClaims.end(), &claim), FClaims.end());
    claim.FHeld = false;
    FReleased.notify_all();
  }

 private:
  TUploadClaim* HolderOf(const std::string& path) const {
    for (TUploadClaim* claim : FClaims)
      if (platform::PathIsWithin(claim->FPath, path) && platform::PathIsWithin(path, claim->FPath)) return claim;
    return nullptr;
  }

  // The holder forgets its socket, under the lock, before it closes it. The
  // mark comes first: a receive that the cut makes fail must already find it.
  static void Cut(TUploadClaim& holder) {
    if (holder.FCut.exchange(true) || holder.FSocket == INVALID_SOCK) return;
    platform::NetShutdownReceive(holder.FSocket);
  }

  std::mutex FMutex;
  std::condition_variable FReleased;
  std::vector<TUploadClaim*> FClaims;
};

bool TUploadClaim::Claim(const std::string& fileName, TSocket socket, int seconds) {
  Release();
  if (!platform::ResolvePath(fileName, FPath)) FPath = fileName;
  FSocket = socket;
  FCut = false;
  return TUploadWriters::Instance().Claim(*this, seconds);
}

void TUploadClaim::CutForNewerWriter() {
  if (!FCut.exchange(true)) platform::NetShutdownReceive(FSocket);
}

void TUploadClaim::Release() {
  if (FHeld) TUploadWriters::Instance().Release(*this);
}

void TUploadClaim::AwaitCompletion(const std::string& fileName, int seconds) {
  std::string path;
  if (!platform::ResolvePath(fileName, path)) path = fileName;
  TUploadWriters::Instance().AwaitCompletion(path, seconds);
}

void TUploadClaim::SocketClosed() {
  if (FHeld) TUploadWriters::Instance().ForgetSocket(*this);
}
