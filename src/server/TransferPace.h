#pragma once
// How fast one connection's file data may move in one direction: its own
// limit, and the total that all running transfers of that direction on its
// listener share. Without either, nothing is measured and nothing waits.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/TokenBucket.h"
#include "server/ServerConfig.h"

// The totals one listener's connections share, one bucket per direction;
// null where no total is set.
struct TSharedRates {
  TSharedRates() = default;
  explicit TSharedRates(const TRateLimits& limits);
  std::shared_ptr<TTokenBucket> Download;
  std::shared_ptr<TTokenBucket> Upload;
};

class TTransferPace {
 public:
  // `ownRate` in bytes per second, 0 for none; `shared` may be null. A
  // transfer shares the total from here to its end.
  TTransferPace(std::uint64_t ownRate, std::shared_ptr<TTokenBucket> shared);
  ~TTransferPace();
  TTransferPace(const TTransferPace&) = delete;
  TTransferPace& operator=(const TTransferPace&) = delete;

  // Charges the `moved` bytes of the last step, waits until the limits
  // allow more, and returns how many bytes the next step may move: `most`
  // when nothing limits. Call it with 0 before the first step.
  std::size_t Next(std::size_t moved, std::size_t most);

 private:
  std::unique_ptr<TTokenBucket> FOwn;
  const std::shared_ptr<TTokenBucket> FShared;
};
