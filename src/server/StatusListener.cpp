#include "server/StatusListener.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "base/Text.h"
#include "platform/Clock.h"
#include "platform/SocketPoll.h"
#include "server/BansJson.h"
#include "server/ListenSockets.h"
#include "server/Metrics.h"
#include "server/StatusPage.h"
#include "server/TransfersJson.h"
#include "transfer/uGlobal.h"

namespace {

const char kInitializeError[] = "Status Listener Initialize Error.";
// A request is a few dozen bytes (a cut's body, if any, is ignored but read,
// so that its close does not reset the answer); a client that has not sent
// its whole request and taken the answer within these bounds is closed, so
// the port cannot be tied up. Beyond kMaxClients at once the oldest is closed to make room:
// a flood of idle connections costs a few descriptors, never the answer to
// a health check that comes after it.
constexpr std::size_t kMaxRequest = 4096;
constexpr int kRequestSeconds = 5;
constexpr std::size_t kMaxClients = 64;
// The longest wait, within which the loop sees Stop.
constexpr int kWaitMilliseconds = 1000;

const char kText[] = "text/plain; version=0.0.4; charset=utf-8";

std::string Response(const char* status, const std::string& body, const char* extraHeader = "",
                     const char* type = kText) {
  return Format("HTTP/1.0 %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\n"
                "Cache-Control: no-store\r\n%sConnection: close\r\n\r\n",
                status, type, static_cast<unsigned long long>(body.size()), extraHeader) +
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

std::string MetricsText(int openConnections, std::size_t bannedAddresses) {
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
  AddMetric(text, "vardex_access_refused_total", "counter",
            "Requests refused with 3, and connections closed unanswered, by the rule that refused them.");
  const std::pair<const char*, std::uint64_t> refusals[] = {{"list", m.AccessRefusedList},
                                                            {"token", m.AccessRefusedToken},
                                                            {"authorizer", m.AccessRefusedAuthorizer},
                                                            {"root", m.AccessRefusedRoot},
                                                            {"banned", m.AccessRefusedBanned},
                                                            {"per_host", m.AccessRefusedPerHost}};
  for (const auto& [reason, count] : refusals)
    text += Format("vardex_access_refused_total{reason=\"%s\"} %llu\n", reason, static_cast<unsigned long long>(count));
  AddMetric(text, "vardex_banned_addresses", "gauge", "Client addresses banned now.");
  text += Format("vardex_banned_addresses %llu\n", static_cast<unsigned long long>(bannedAddresses));
  AddCounter(text, "vardex_log_write_failures_total", "Daily log lines that could not be written.",
             LogWriteFailures());
  AddMetric(text, "vardex_build_info", "gauge", "The running build.");
  text += Format("vardex_build_info{version=\"%s\"} 1\n", VARDEX_VERSION);
  return text;
}

std::string HealthAnswer() {
  if (!Metrics().Accepting) return Response("503 Service Unavailable", "stopping\n");
  if (ShortOfThreads()) return Response("503 Service Unavailable", "no thread for new connections\n");
  return Response("200 OK", "ok\n");
}

// Where the head ends and the body begins; npos while the head is still
// coming.
std::size_t BodyStart(const std::string& request) {
  const std::size_t crlf = request.find("\r\n\r\n");
  if (crlf != std::string::npos) return crlf + 4;
  const std::size_t lf = request.find("\n\n");
  return lf == std::string::npos ? lf : lf + 2;
}

// The value of header `name` in the head, without the blanks around it;
// empty when it is missing.
std::string HeaderValue(const std::string& head, const std::string& name) {
  for (std::size_t line = head.find('\n'); line != std::string::npos; line = head.find('\n', line)) {
    ++line;
    const std::size_t colon = head.find(':', line);
    const std::size_t end = head.find('\n', line);
    if (colon == std::string::npos || colon > end) continue;
    if (!EqualsIgnoringAsciiCase(head.substr(line, colon - line), name)) continue;
    const std::size_t first = head.find_first_not_of(" \t", colon + 1);
    const std::size_t last = head.find_last_not_of(" \t\r", end == std::string::npos ? end : end - 1);
    return first == std::string::npos || last == std::string::npos || last < first ? std::string()
                                                                                  : head.substr(first, last - first + 1);
  }
  return {};
}

// The whole request: its head and the body its Content-Length announces.
bool RequestComplete(const std::string& request) {
  const std::size_t bodyStart = BodyStart(request);
  if (bodyStart == std::string::npos) return false;
  std::uint64_t length = 0;
  const std::string announced = HeaderValue(request.substr(0, bodyStart), "Content-Length");
  // A length beyond the bound is not waited for: the head is answered as it is.
  if (!announced.empty() && !ParseDecimal(announced, 0, kMaxRequest, length)) return true;
  return request.size() - bodyStart >= length;
}

// Compares every byte, so that the time taken tells nothing of how much of
// a guessed token was right.
bool SameSecret(const std::string& given, const std::string& expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % (expected.empty() ? 1 : expected.size())]);
  return difference == 0 && !expected.empty();
}

// The id of "/transfers/ID/cut"; false for any other path.
bool CutPath(const std::string& path, std::uint64_t& id) {
  const std::string prefix = "/transfers/", suffix = "/cut";
  if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  return ParseDecimal(path.substr(0, path.size() - suffix.size()), prefix.size(), UINT64_MAX, id);
}

}  // namespace

TStatusListener::TStatusListener(const std::vector<platform::IpAddress>& addresses, int port,
                                 const std::string& logPath, std::string token)
    : FLogPath(logPath), FToken(std::move(token)), FAcceptFailures(logPath, "Status port: ") {
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

void TStatusListener::CountWorkers(std::shared_ptr<TWorkerSet> workers) { FWorkers = std::move(workers); }

void TStatusListener::ShowBans(std::shared_ptr<const TLiveAccess> access) { FAccess = std::move(access); }

std::string TStatusListener::Answer(const std::string& request) {
  const std::size_t methodEnd = request.find(' ');
  const std::size_t pathEnd =
      methodEnd == std::string::npos ? methodEnd : request.find_first_of(" ?\r", methodEnd + 1);
  if (pathEnd == std::string::npos) return Response("400 Bad Request", "bad request\n");
  const std::string method = request.substr(0, methodEnd);
  const std::string path = request.substr(methodEnd + 1, pathEnd - methodEnd - 1);

  std::uint64_t id = 0;
  if (CutPath(path, id)) {
    if (method != "POST") return Response("405 Method Not Allowed", "method not allowed\n", "Allow: POST\r\n");
    return CutAnswer(request.substr(0, BodyStart(request)), id);
  }
  if (path != "/" && path != "/health" && path != "/metrics" && path != "/transfers" && path != "/bans")
    return Response("404 Not Found", "not found\n");
  if (method != "GET") return Response("405 Method Not Allowed", "method not allowed\n", "Allow: GET\r\n");
  // The browser holds the page to what it is: its own script and styles,
  // requests to this port only.
  if (path == "/")
    return Response("200 OK", StatusPage(),
                    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
                    "style-src 'unsafe-inline'; connect-src 'self'\r\nX-Content-Type-Options: nosniff\r\n",
                    "text/html; charset=utf-8");
  if (path == "/transfers")
    return Response("200 OK", TransfersJson(FWorkers ? FWorkers->Transfers() : std::vector<TTransferSnapshot>()), "",
                    "application/json");
  if (path == "/health") return HealthAnswer();
  const std::int64_t now = TLiveAccess::Now();
  const std::vector<TBan> bans = FAccess ? FAccess->Bans().Current(now) : std::vector<TBan>();
  if (path == "/metrics") return Response("200 OK", MetricsText(FWorkers ? FWorkers->OpenConnections() : 0, bans.size()));
  const std::int64_t wallNow =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return Response("200 OK", BansJson(bans, now, wallNow), "", "application/json");
}

std::string TStatusListener::CutAnswer(const std::string& head, std::uint64_t id) {
  // Without a token nobody may cut: whoever reaches the port may read, and
  // the port may be reachable from more than the operator's desk.
  if (!SameSecret(HeaderValue(head, "Authorization"), "Bearer " + FToken) || FToken.empty())
    return Response("403 Forbidden", "forbidden\n");
  std::string client;
  if (!FWorkers || !FWorkers->Cut(id, client)) return Response("404 Not Found", "no such transfer\n");
  WriteLog(FLogPath, Format("%s-Cut: transfer %llu ended from the status port", client.c_str(),
                            static_cast<unsigned long long>(id)));
  return Response("200 OK", "cut\n");
}

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
    client.Request.append(chunk, static_cast<std::size_t>(n));
    if (!RequestComplete(client.Request)) return client.Request.size() < kMaxRequest;
    client.Answer = Answer(client.Request);
  }
  // As much as the socket takes now; the rest when it has room again.
  const long n = platform::NetSend(socket, client.Answer.data() + client.Sent, client.Answer.size() - client.Sent);
  if (n < 0 && platform::NetWouldBlock()) return true;
  if (n <= 0) return false;
  client.Sent += static_cast<std::size_t>(n);
  return client.Sent < client.Answer.size();
}
