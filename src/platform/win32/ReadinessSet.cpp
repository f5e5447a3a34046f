#include "platform/ReadinessSet.h"

namespace platform {

// Kept here and handed to WSAPoll whole at each wait: Windows has no set of
// its own that works the same on every version and under Wine. A wait costs
// in proportion to the sockets watched, which is fine for what a Windows
// host serves.
ReadinessSet::ReadinessSet() = default;
ReadinessSet::~ReadinessSet() = default;

bool ReadinessSet::Valid() const { return true; }

bool ReadinessSet::WatchListening(SocketHandle s) {
  if (!WatchOnce(s, false)) return false;
  FListening.back() = true;
  return true;
}

bool ReadinessSet::WatchOnce(SocketHandle s, bool) {
  if (FIndex.count(s) != 0) return true;
  FIndex.emplace(s, FEntries.size());
  FEntries.push_back({s, true, false, false});
  FListening.push_back(false);
  return true;
}

void ReadinessSet::Forget(SocketHandle s) {
  const auto found = FIndex.find(s);
  if (found == FIndex.end()) return;
  const std::size_t at = found->second;
  FIndex.erase(found);
  if (at + 1 != FEntries.size()) {
    FEntries[at] = FEntries.back();
    FListening[at] = FListening.back();
    FIndex[FEntries[at].socket] = at;
  }
  FEntries.pop_back();
  FListening.pop_back();
}

int ReadinessSet::Wait(std::vector<SocketHandle>& ready, int milliseconds) {
  ready.clear();
  const int r = FWake.Wait(FEntries.data(), FEntries.size(), milliseconds);
  if (r <= 0) return r;
  std::vector<SocketHandle> once;
  for (std::size_t i = 0; i < FEntries.size(); ++i) {
    if (!FEntries[i].ready) continue;
    ready.push_back(FEntries[i].socket);
    if (!FListening[i]) once.push_back(FEntries[i].socket);
  }
  for (SocketHandle s : once) Forget(s);
  return static_cast<int>(ready.size());
}

}  // namespace platform
