#include "server/Metrics.h"

#include <algorithm>
#include <chrono>

namespace {

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TMetrics& Metrics() {
  static auto* metrics = new TMetrics;
  return *metrics;
}

void CountDownload(std::int32_t result) {
  if (result >= 0 && result < kResultCodeCount) ++Metrics().Downloads[result];
}

void CountUpload(std::int32_t result, bool endedEarly) {
  if (endedEarly)
    ++Metrics().UploadsEndedEarly;
  else if (result >= 0 && result < kResultCodeCount)
    ++Metrics().Uploads[result];
}

void CountNoThread() {
  ++Metrics().RefusedNoThread;
  // Never 0, which means that threads are there.
  Metrics().LastNoThread = std::max<std::int64_t>(SteadyMilliseconds(), 1);
}

void CountThreadFound() {
  // Read before written: the common case costs no write to a shared line.
  if (Metrics().LastNoThread != 0) Metrics().LastNoThread = 0;
}

bool ShortOfThreads() {
  const std::int64_t last = Metrics().LastNoThread;
  return last != 0 && SteadyMilliseconds() - last < kNoThreadSeconds * 1000LL;
}
