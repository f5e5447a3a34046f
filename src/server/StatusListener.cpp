#include "server/StatusListener.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Clock.h"
#include "platform/SocketPoll.h"
#include "server/ListenSockets.h"
#include "server/Metrics.h"
#include "transfer/uGlobal.h"

namespace {

const char kInitializeError[] = "Status Listener Initialize Error.";
// A request is a few dozen bytes; a client that has not sent its whole head
// and taken the answer within these bounds is closed, so the port cannot be
// tied up. Beyond kMaxClients at once the oldest is closed to make room:
// a flood of idle connections costs a few descriptors, never the answer to
// a health check that comes after it.
constexpr std::size_t kMaxRequest = 4096;
constexpr int kRequestSeconds = 5;
constexpr std::size_t kMaxClients = 64;
// The longest wait, within which the loop sees Stop.
constexpr int kWaitMilliseconds = 1000;

std::string Response(const char* status, const std::string& body, const char* extraHeader = "") {
  return Format("HTTP/1.0 %s\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: %llu\r\n"
                "%sConnection: close\r\n\r\n",
                status, static_cast<unsigned long long>(body.size()), extraHeader) +
         body;
}

void AddMetric(std::string& text, const char* name, const char* type, const char* help) {
  text += Format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void AddByResult(std::string& text, const char* name, const char* help,
                 const std::atomic<std::uint64_t> (&counts)[kResultCodeCount]) {
  AddMetric(text, name, "counter", help);
  for (int code = 0; code < kResultCodeCount; ++code) {
    const std::uint64_t count = counts[code];
    // Success always appears, so that a rate over it exists from the start.
    if (count != 0 || code == rcSuccess)
      text += Format("%s{result=\"%d\"} %llu\n", name, code, static_cast<unsigned long long>(count));
  }
}

void AddCounter(std::string& text, const char* name, const char* help, std::uint64_t value) {
  AddMetric(text, name, "counter", help);
  text += Format("%s %llu\n", name, static_cast<unsigned long long>(value));
}

std::string MetricsText(int openConnections) {
  const TMetrics& m = Metrics();
  std::string text;
  AddMetric(text, "vardex_open_connections", "gauge", "Connections being served now.");
  text += Format("vardex_open_connections %d\n", openConnections);
  AddMetric(text, "vardex_max_connections", "gauge", "The configured MaxConnections; 0 is no limit.");
  text += Format("vardex_max_connections %d\n", m.MaxConnections.load());
  AddCounter(text, "vardex_connections_accepted_total", "Connections accepted.", m.Accepted);
  AddMetric(text, "vardex_connections_refused_total", "counter",
            "Connections closed at once, over MaxConnections or for want of a thread.");
  text += Format("vardex_connections_refused_total{reason=\"max_connections\"} %llu\n",
                 static_cast<unsigned long long>(m.Refused));
  text += Format("vardex_connections_refused_total{reason=\"no_thread\"} %llu\n",
                 static_cast<unsigned long long>(m.RefusedNoThread));
  AddByResult(text, "vardex_downloads_total", "Downloads by result code.", m.Downloads);
  AddByResult(text, "vardex_uploads_total", "Uploads by result code; ended_early: short of their size, no failure.",
              m.Uploads);
  text += Format("vardex_uploads_total{result=\"ended_early\"} %llu\n",
                 static_cast<unsigned long long>(m.UploadsEndedEarly));
  AddCounter(text, "vardex_sent_bytes_total", "File bytes sent to clients.", m.BytesSent);
  AddCounter(text, "vardex_received_bytes_total", "File bytes received from clients.", m.BytesReceived);
  AddCounter(text, "vardex_digest_read_bytes_total", "File bytes read for digests that no record held.",
             m.DigestBytesRead);
  AddCounter(text, "vardex_report_failures_total", "Reports to the web service that failed.", m.FailedReports);
  AddMetric(text, "vardex_report_spool_depth", "gauge", "Failed reports kept for retries.");
  text += Format("vardex_report_spool_depth %llu\n", static_cast<unsigned long long>(m.ReportSpoolDepth));
  AddCounter(text, "vardex_reports_delivered_total", "Spooled reports delivered.", m.ReportsDelivered);
  AddCounter(text, "vardex_reports_retried_total", "Attempts at spooled reports.", m.ReportsRetried);
  AddCounter(text, "vardex_reports_dropped_total", "Reports the spool gave up: too old, or the oldest of a full spool.",
             m.ReportsDropped);
  AddMetric(text, "vardex_access_refused_total", "counter", "Requests refused with 3, by the rule that refused them.");
  text += Format("vardex_access_refused_total{reason=\"list\"} %llu\n",
                 static_cast<unsigned long long>(m.AccessRefusedList));
  AddCounter(text, "vardex_log_write_failures_total", "Daily log lines that could not be written.",
             LogWriteFailures());
  AddMetric(text, "vardex_build_info", "gauge", "The running build.");
  text += Format("vardex_build_info{version=\"%s\"} 1\n", VARDEX_VERSION);
  return text;
}

// The answer to one request head ("METHOD PATH VERSION\r\n...").
std::string Answer(const std::string& head, int openConnections) {
  const std::size_t methodEnd = head.find(' ');
  const std::size_t pathEnd = methodEnd == std::string::npos ? methodEnd : head.find_first_of(" ?\r", methodEnd + 1);
  if (pathEnd == std::string::npos) return Response("400 Bad Request", "bad request\n");
  const std::string method = head.substr(0, methodEnd);
  const std::string path = head.substr(methodEnd + 1, pathEnd - methodEnd - 1);
  if (path != "/health" && path != "/metrics") return Response("404 Not Found", "not found\n");
  if (method != "GET") return Response("405 Method Not Allowed", "method not allowed\n", "Allow: GET\r\n");
  if (path == "/metrics") return Response("200 OK", MetricsText(openConnections));
  if (!Metrics().Accepting) return Response("503 Service Unavailable", "stopping\n");
  if (ShortOfThreads()) return Response("503 Service Unavailable", "no thread for new connections\n");
  return Response("200 OK", "ok\n");
}

bool HeadComplete(const std::string& head) {
  return head.find("\r\n\r\n") != std::string::npos || head.find("\n\n") != std::string::npos;
}

}  // namespace

TStatusListener::TStatusListener(const std::vector<platform::IpAddress>& addresses, int port,
                                 const std::string& logPath)
    : FAcceptFailures(logPath, "Status port: ") {
  std::string error;
  if (!OpenListenSockets(addresses, port, FListenSockets, error)) {
    WriteLog(logPath, "Status port: " + error);
    throw std::runtime_error(kInitializeError);
  }
}

TStatusListener::~TStatusListener() {
  // The loop must have left its wait before the socket it waits on goes.
  Stop();
  WaitFor();
}

int TStatusListener::Port() const { return platform::NetLocalPort(FListenSockets.front().get()); }

void TStatusListener::Stop() { Terminate(); }

void TStatusListener::CountWorkers(std::shared_ptr<const TWorkerSet> workers) { FWorkers = std::move(workers); }

void TStatusListener::Execute() {
  while (!Terminated()) {
    try {
      ServeOnce();
    } catch (...) {
      // An allocation that failed for one round must not end the port; the
      // pause keeps a lasting shortage from spinning the loop.
      platform::SleepMilliseconds(TAcceptFailures::kRetryMilliseconds);
    }
  }
  FClients.clear();
}

void TStatusListener::ServeOnce() {
  const TClock::time_point now = TClock::now();
  std::erase_if(FClients, [now](const TClient& client) { return client.Deadline <= now; });

  // The listening sockets first, unless a failed accept put them off.
  std::vector<platform::PollEntry> entries;
  const bool accepting = now >= FAcceptAfter;
  TClock::time_point wakeUp = std::min(now + std::chrono::milliseconds(kWaitMilliseconds),
                                       accepting ? TClock::time_point::max() : FAcceptAfter);
  if (accepting)
    for (const platform::UniqueSocket& socket : FListenSockets) entries.push_back({socket.get(), true, false, false});
  for (const TClient& client : FClients) {
    entries.push_back({client.Socket.get(), client.Answer.empty(), !client.Answer.empty(), false});
    wakeUp = std::min(wakeUp, client.Deadline);
  }
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeUp - now).count() + 1;
  if (entries.empty()) {
    platform::SleepMilliseconds(static_cast<unsigned>(wait));
    return;
  }
  if (platform::NetPoll(entries.data(), entries.size(), static_cast<int>(wait)) <= 0) return;

  const std::size_t first = accepting ? FListenSockets.size() : 0;
  std::vector<bool> done(FClients.size());
  for (std::size_t i = 0; i < FClients.size(); ++i)
    if (entries[first + i].ready) done[i] = !Step(FClients[i]);
  for (std::size_t i = FClients.size(); i-- > 0;)
    if (done[i]) FClients.erase(FClients.begin() + static_cast<std::ptrdiff_t>(i));
  for (std::size_t i = 0; i < first; ++i)
    if (entries[i].ready) Accept(entries[i].socket);
}

void TStatusListener::Accept(TSocket listening) {
  std::string error;
  platform::UniqueSocket socket(SocketAccept(listening, error));
  if (!socket.valid()) {
    FAcceptFailures.Failed(error);
    FAcceptAfter = TClock::now() + std::chrono::milliseconds(TAcceptFailures::kRetryMilliseconds);
    return;
  }
  platform::NetSetNonBlocking(socket.get(), true);
  if (FClients.size() >= kMaxClients) FClients.erase(FClients.begin());
  TClient client;
  client.Socket = std::move(socket);
  client.Deadline = TClock::now() + std::chrono::seconds(kRequestSeconds);
  FClients.push_back(std::move(client));
}

bool TStatusListener::Step(TClient& client) {
  const TSocket socket = client.Socket.get();
  if (client.Answer.empty()) {
    char chunk[512];
    const long n = platform::NetRecv(socket, chunk, sizeof chunk);
    if (n < 0 && platform::NetWouldBlock()) return true;
    if (n <= 0) return false;
    client.Head.append(chunk, static_cast<std::size_t>(n));
    if (!HeadComplete(client.Head)) return client.Head.size() < kMaxRequest;
    client.Answer = Answer(client.Head, FWorkers ? FWorkers->OpenConnections() : 0);
  }
  // As much as the socket takes now; the rest when it has room again.
  const long n = platform::NetSend(socket, client.Answer.data() + client.Sent, client.Answer.size() - client.Sent);
  if (n < 0 && platform::NetWouldBlock()) return true;
  if (n <= 0) return false;
  client.Sent += static_cast<std::size_t>(n);
  return client.Sent < client.Answer.size();
}
