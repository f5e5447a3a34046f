#pragma once
// Keeps the daily log's folder bounded: the server's own daily files
// (prefix + yyyymmdd + ".log") dated more than KeepDays days before today
// are deleted at start and at each change of date. Nothing else in the
// folder is touched, whatever its name.

#include <condition_variable>
#include <mutex>
#include <string>

#include "base/Thread.h"
#include "platform/Clock.h"

// Deletes the daily files of `prefix` dated more than `keepDays` days before
// `today` and logs each removal. A file that cannot be deleted is logged and
// stays for the next sweep. Returns how many were deleted; `keepDays` of 0
// or less keeps every file.
int PruneDailyLogs(const std::string& prefix, int keepDays, const platform::LocalTime& today);

// A thread that sweeps once at once and again whenever the date changes,
// until it is destroyed.
class TLogRetention : private TThread {
 public:
  TLogRetention(std::string prefix, int keepDays);
  ~TLogRetention() override;

 private:
  void Execute() override;

  const std::string FPrefix;
  const int FKeepDays;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;  // guarded by FMutex
};
