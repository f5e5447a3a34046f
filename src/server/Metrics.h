#pragma once
// The process's counters for the status port's /metrics, and whether the
// listener accepts, for its /health. Counted where things happen; read
// without locks, so each figure is exact but two figures may be a moment
// apart.

#include <atomic>
#include <cstdint>

// Codes 0 to 23 (uGlobal.h).
constexpr int kResultCodeCount = 24;

struct TMetrics {
  std::atomic<std::uint64_t> Accepted{0};
  std::atomic<std::uint64_t> Refused{0};
  // Connections closed at once because no thread could be made to serve
  // them; and when the last was (steady clock, milliseconds), 0 once a
  // later connection got its thread.
  std::atomic<std::uint64_t> RefusedNoThread{0};
  std::atomic<std::int64_t> LastNoThread{0};
  std::atomic<std::uint64_t> Downloads[kResultCodeCount] = {};
  std::atomic<std::uint64_t> Uploads[kResultCodeCount] = {};
  // Uploads that ended short of their size without a failure (the client
  // closed, or a newer upload of the file won): not counted as result 0.
  std::atomic<std::uint64_t> UploadsEndedEarly{0};
  std::atomic<std::uint64_t> BytesSent{0};
  std::atomic<std::uint64_t> BytesReceived{0};
  std::atomic<std::uint64_t> FailedReports{0};
  // File bytes read to compute block digests that no record held.
  std::atomic<std::uint64_t> DigestBytesRead{0};
  // The report spool: reports it holds now, delivered from it, attempts it
  // made, and reports it gave up (too old, or the oldest of a full spool).
  std::atomic<std::uint64_t> ReportSpoolDepth{0};
  std::atomic<std::uint64_t> ReportsDelivered{0};
  std::atomic<std::uint64_t> ReportsRetried{0};
  std::atomic<std::uint64_t> ReportsDropped{0};
  // Requests refused with 3 because an [Access] list does not name the
  // client, or because the file lies outside every root; connections closed
  // unanswered because their client is banned, or has MaxConnectionsPerHost
  // open already.
  std::atomic<std::uint64_t> AccessRefusedList{0};
  std::atomic<std::uint64_t> AccessRefusedRoot{0};
  std::atomic<std::uint64_t> AccessRefusedBanned{0};
  std::atomic<std::uint64_t> AccessRefusedPerHost{0};
  // ... because the token was missing (RequireToken) or not valid, and
  // because the operator's authoriser said no (or failed, and
  // AuthorizeOnError is deny).
  std::atomic<std::uint64_t> AccessRefusedToken{0};
  std::atomic<std::uint64_t> AccessRefusedAuthorizer{0};
  // The running listener's MaxConnections (0: no limit), so that an alert
  // can compare the open connections with it.
  std::atomic<int> MaxConnections{0};
  // True while the listener waits for connections; false from the moment a
  // stop begins, and when the listener has ended for any reason.
  std::atomic<bool> Accepting{false};
};

// The process's one set; never destroyed, as workers may count at exit.
TMetrics& Metrics();

// One finished download or upload with its result code.
void CountDownload(std::int32_t result);
void CountUpload(std::int32_t result, bool endedEarly = false);

// A connection closed for want of a thread, and one that got its thread.
void CountNoThread();
void CountThreadFound();
// True while the last connection the listener took was closed for want of a
// thread, for at most kNoThreadSeconds after that close: a balancer then
// sends its clients elsewhere, and after that time checks again whether
// threads can be had.
constexpr int kNoThreadSeconds = 10;
bool ShortOfThreads();
