#include "server/DigestTurns.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct TTurns {
  std::mutex mutex;
  std::condition_variable freed;
  int taken = 0;
};

TTurns& Turns() {
  // Workers may still run while the process exits: never destroyed.
  static auto* turns = new TTurns;
  return *turns;
}

}  // namespace

bool TDigestTurn::Take(int seconds) {
  if (FHeld) return true;
  TTurns& turns = Turns();
  std::unique_lock<std::mutex> lock(turns.mutex);
  if (!turns.freed.wait_for(lock, std::chrono::seconds(seconds), [&turns] { return turns.taken < kAtOnce; }))
    return false;
  ++turns.taken;
  FHeld = true;
  return true;
}

TDigestTurn::~TDigestTurn() {
  if (!FHeld) return;
  TTurns& turns = Turns();
  {
    std::lock_guard<std::mutex> lock(turns.mutex);
    --turns.taken;
  }
  turns.freed.notify_one();
}
