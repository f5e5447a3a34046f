#pragma once
// The report spool ([Report] Spool=1): reports the web service did not take,
// kept as one file each ("<created unix seconds>-<event>.report", holding the
// request's path and query) in a folder beside the executable, and retried
// by a thread of their own with growing pauses until they are delivered or
// [Report] SpoolDays old. The files survive restarts; each retry carries the
// report's first event id, so that the web service can drop duplicates.

#include <cstddef>
#include <memory>
#include <string>

#include "server/ServerConfig.h"

// The most reports the spool keeps; a new one beyond it drops the oldest.
constexpr std::size_t kMaxSpooledReports = 10000;

// Keeps `target` for retries; a report that cannot be kept, and the oldest
// one a full spool gives up, count as dropped. A few file operations on the
// calling worker's thread, nothing that waits.
void SpoolReport(const TReportOptions& options, const std::string& target);

// The pause after the n-th failed attempt (n >= 1): 5 seconds, doubled each
// time, at most 10 minutes.
int RetryPauseSeconds(int failedAttempts);

// The thread that retries what the spool holds, from construction to
// destruction.
class TReportSpool {
 public:
  explicit TReportSpool(TServerConfigPtr config);
  // Asks the thread to stop and waits for it a moment; a delivery still in
  // flight (at most 30 seconds) ends by itself, its report kept on disk
  // until it is through.
  ~TReportSpool();
  TReportSpool(const TReportSpool&) = delete;
  TReportSpool& operator=(const TReportSpool&) = delete;

  struct TState;

 private:
  std::shared_ptr<TState> FState;
};
