#include "service/Drain.h"

#include <chrono>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Clock.h"
#include "server/WorkerSet.h"

namespace {
constexpr unsigned kPollMilliseconds = 100;
}

void DrainTransfers(const std::string& logPath, int seconds, const TWorkerSet& workers,
                    const std::function<void()>& stillStopping) {
  if (seconds <= 0 || workers.Live() == 0) return;
  WriteLog(logPath, Format("Service Drain: waiting up to %d s for %d connections", seconds, workers.Live()));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  auto nextReport = start + std::chrono::seconds(1);
  while (workers.Live() > 0 && std::chrono::steady_clock::now() < deadline) {
    platform::SleepMilliseconds(kPollMilliseconds);
    if (std::chrono::steady_clock::now() < nextReport) continue;
    nextReport += std::chrono::seconds(1);
    stillStopping();
  }
  const int left = workers.Live();
  if (left > 0) WriteLog(logPath, Format("Service Drain: %d connections still open after %d s", left, seconds));
}
