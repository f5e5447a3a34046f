#pragma once
// Lets a repeated event through at its first occurrence and then at most
// once per interval, counting the occurrences held back in between: a fault
// that repeats by the thousand still reaches the operator, without a flood.

#include <chrono>
#include <cstdint>

class TThrottle {
 public:
  explicit TThrottle(std::chrono::seconds interval) : FInterval(interval) {}

  // True when this occurrence is to be told; `heldBack` is then the number
  // held back since the last one told. The caller serialises the calls.
  bool Pass(std::uint64_t& heldBack) {
    const auto now = std::chrono::steady_clock::now();
    if (FTold && now - FLastTold < FInterval) {
      ++FHeldBack;
      return false;
    }
    FTold = true;
    FLastTold = now;
    heldBack = FHeldBack;
    FHeldBack = 0;
    return true;
  }

  // The next occurrence is told again at once.
  void Reset() {
    FTold = false;
    FHeldBack = 0;
  }

 private:
  std::chrono::steady_clock::duration FInterval;
  bool FTold = false;
  std::chrono::steady_clock::time_point FLastTold;
  std::uint64_t FHeldBack = 0;
};
