#include "server/StatusListener.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "server/Metrics.h"
#include "transfer/uGlobal.h"

namespace {

const char kInitializeError[] = "Status Listener Initialize Error.";
// A request is a few dozen bytes; anything that has not sent its whole head
// within these bounds is dropped, so the port cannot be tied up. Requests
// are served one after the other, each for at most this long.
constexpr std::size_t kMaxRequest = 4096;
constexpr int kRequestSeconds = 5;
constexpr int kAcceptWaitSeconds = 1;

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
  AddCounter(text, "vardex_connections_refused_total", "Connections closed at once over MaxConnections.", m.Refused);
  AddByResult(text, "vardex_downloads_total", "Downloads by result code.", m.Downloads);
  AddByResult(text, "vardex_uploads_total", "Uploads by result code; ended_early: short of their size, no failure.",
              m.Uploads);
  text += Format("vardex_uploads_total{result=\"ended_early\"} %llu\n",
                 static_cast<unsigned long long>(m.UploadsEndedEarly));
  AddCounter(text, "vardex_sent_bytes_total", "File bytes sent to clients.", m.BytesSent);
  AddCounter(text, "vardex_received_bytes_total", "File bytes received from clients.", m.BytesReceived);
  AddCounter(text, "vardex_report_failures_total", "Reports to the web service that failed.", m.FailedReports);
  AddMetric(text, "vardex_report_spool_depth", "gauge", "Failed reports kept for retries.");
  text += Format("vardex_report_spool_depth %llu\n", static_cast<unsigned long long>(m.ReportSpoolDepth));
  AddCounter(text, "vardex_reports_delivered_total", "Spooled reports delivered.", m.ReportsDelivered);
  AddCounter(text, "vardex_reports_retried_total", "Attempts at spooled reports.", m.ReportsRetried);
  AddCounter(text, "vardex_reports_dropped_total", "Reports the spool gave up: too old, or the oldest of a full spool.",
             m.ReportsDropped);
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
  return Metrics().Accepting ? Response("200 OK", "ok\n") : Response("503 Service Unavailable", "stopping\n");
}

std::int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The request head up to its empty line; empty when it does not come whole
// within the bounds.
std::string ReadHead(TSocket socket) {
  std::string head;
  char chunk[512];
  const std::int64_t deadline = SteadySeconds() + kRequestSeconds;
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    const std::int64_t left = deadline - SteadySeconds();
    if (head.size() >= kMaxRequest || left <= 0 || SocketSelect(socket, static_cast<int>(left), 1) <= 0) return {};
    const long n = platform::NetRecv(socket, chunk, sizeof chunk);
    if (n <= 0) return {};
    head.append(chunk, static_cast<std::size_t>(n));
  }
  return head;
}

}  // namespace

TStatusListener::TStatusListener(std::uint32_t address, int port, const std::string& logPath) {
  std::string error;
  FListenSocket.reset(BaseSocket(error));
  if (FListenSocket.valid() && (SocketBind(FListenSocket.get(), address, port, error) != 0 ||
                                SocketListen(FListenSocket.get(), error) != 0))
    FListenSocket.reset();
  if (!FListenSocket.valid()) {
    WriteLog(logPath, "Status port: " + error);
    throw std::runtime_error(kInitializeError);
  }
}

// The body must have left before the socket it waits on goes away.
TStatusListener::~TStatusListener() { WaitFor(); }

int TStatusListener::Port() const { return platform::NetLocalPort(FListenSocket.get()); }

void TStatusListener::Stop() { Terminate(); }

void TStatusListener::CountWorkers(std::shared_ptr<const TWorkerSet> workers) { FWorkers = std::move(workers); }

void TStatusListener::Execute() {
  while (!Terminated()) {
    if (SocketSelect(FListenSocket.get(), kAcceptWaitSeconds, 1) <= 0) continue;
    std::string ignored;
    const platform::UniqueSocket socket(SocketAccept(FListenSocket.get(), ignored));
    if (!socket.valid()) continue;
    try {
      Serve(socket.get());
    } catch (...) {
      // An allocation that failed for one answer must not end the port.
    }
  }
}

void TStatusListener::Serve(TSocket socket) {
  const std::string head = ReadHead(socket);
  if (head.empty()) return;
  const std::string answer = Answer(head, FWorkers ? FWorkers->OpenConnections() : 0);
  WriteBuffer(socket, answer.data(), static_cast<int>(answer.size()), kRequestSeconds);
}
