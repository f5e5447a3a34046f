#include "base/Throttle.h"

#include <chrono>

bool TThrottle::Pass(std::uint64_t& heldBack) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  std::lock_guard<std::mutex> hold(FLock);
  if (FTold && now - FLastTold < FIntervalMilliseconds) {
    ++FHeldBack;
    return false;
  }
  FTold = true;
  FLastTold = now;
  heldBack = FHeldBack;
  FHeldBack = 0;
  return true;
}

void TThrottle::Reset() {
  std::lock_guard<std::mutex> hold(FLock);
  FTold = false;
  FHeldBack = 0;
}
