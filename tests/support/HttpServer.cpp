#include "support/HttpServer.h"

#include <chrono>
#include <cstdlib>

#include "base/Format.h"
#include "platform/Hmac.h"
#include "support/TestSupport.h"

namespace vtest {

namespace {
constexpr int kRequestWaitSeconds = 5;
constexpr int kSilentSeconds = 30;
}

HttpServer::HttpServer(int status, std::string body) : FStatus(status), FBody(std::move(body)) {
  std::string error;
  FListener = BaseSocket(error);
  if (FListener == INVALID_SOCK || platform::NetBind(FListener, 0x7F000001, 0) != 0 ||
      SocketListen(FListener, error) != 0)
    return;
  FPort = platform::NetLocalPort(FListener);
  FThread = std::thread(&HttpServer::Serve, this);
}

HttpServer::~HttpServer() {
  FStopping = true;
  // A connection of our own wakes the blocked accept.
  TSocket wake = Connect(FPort);
  if (FThread.joinable()) FThread.join();
  for (std::thread& holder : FHolders) holder.join();
  if (wake != INVALID_SOCK) CloseSocket(wake);
  if (FListener != INVALID_SOCK) CloseSocket(FListener);
}

std::string HttpServer::Host() const { return "127.0.0.1:" + std::to_string(FPort); }

void HttpServer::SetResponse(int status, std::string body) {
  std::lock_guard<std::mutex> lock(FMutex);
  FStatus = status;
  FBody = std::move(body);
}

void HttpServer::RequireSignature(std::string key) {
  std::lock_guard<std::mutex> lock(FMutex);
  FSigningKey = std::move(key);
}

std::vector<int> HttpServer::Statuses() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FStatuses;
}

bool HttpServer::SignatureValid(const std::string& request) const {
  const std::string name = "\r\nX-Vardex-Signature: t=";
  const std::size_t at = request.find(name);
  if (at == std::string::npos) return false;
  const std::size_t time = at + name.size(), comma = request.find(",v1=", time), end = request.find("\r\n", time);
  if (comma == std::string::npos || end == std::string::npos || comma > end) return false;
  const std::string t = request.substr(time, comma - time), given = request.substr(comma + 4, end - comma - 4);
  const long long seconds = std::atoll(t.c_str());
  const long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (seconds < now - 300 || seconds > now + 300) return false;
  const std::string line = request.substr(0, request.find("\r\n"));
  const std::size_t start = line.find(' '), stop = line.rfind(' ');
  std::string digest, hex;
  if (!platform::HmacSha256(FSigningKey, t + "\n" + line.substr(start + 1, stop - start - 1), digest)) return false;
  for (const char c : digest) hex += Format("%02x", static_cast<unsigned char>(c));
  return hex == given;
}

std::vector<std::string> HttpServer::RequestLines() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRequestLines;
}

std::vector<std::string> HttpServer::Paths() const {
  std::vector<std::string> paths;
  for (const std::string& line : RequestLines()) {
    std::size_t start = line.find(' ');
    std::size_t end = line.rfind(' ');
    paths.push_back(start == end ? std::string() : line.substr(start + 1, end - start - 1));
  }
  return paths;
}

bool HttpServer::WaitForRequests(std::size_t count, int seconds) const {
  auto start = Clock::now();
  while (RequestLines().size() < count) {
    if (SecondsSince(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string HttpServer::QueryValue(const std::string& target, const std::string& key) {
  std::size_t query = target.find('?');
  if (query == std::string::npos) return {};
  std::size_t start = query + 1;
  while (start <= target.size()) {
    std::size_t end = target.find('&', start);
    if (end == std::string::npos) end = target.size();
    const std::string pair = target.substr(start, end - start);
    if (pair.rfind(key + "=", 0) == 0) return pair.substr(key.size() + 1);
    start = end + 1;
  }
  return {};
}

void HttpServer::Serve() {
  std::string error;
  for (;;) {
    TSocket client = SocketAccept(FListener, error);
    if (FStopping) {
      if (client != INVALID_SOCK) CloseSocket(client);
      return;
    }
    if (client == INVALID_SOCK) continue;
    // A connection left unanswered is held on a thread of its own, so that
    // the requests after it are answered as always: a client that gives up
    // may leave its connection open (WinInet under Wine does).
    if (Answer(client)) {
      CloseSocket(client);
    } else {
      try {
        FHolders.emplace_back(&HttpServer::Hold, this, client);
      } catch (...) {
        CloseSocket(client);
      }
    }
  }
}

bool HttpServer::Answer(TSocket client) {
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (platform::NetWait(client, kRequestWaitSeconds, 1) <= 0) return true;
    long n = platform::NetRecv(client, chunk, sizeof chunk);
    if (n <= 0) return true;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  bool silent = false;
  std::string response;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FRequestLines.push_back(request.substr(0, request.find("\r\n")));
    silent = FStatus == 0;
    const int status = silent || FSigningKey.empty() || SignatureValid(request) ? FStatus : 401;
    FStatuses.push_back(status);
    response = Format("HTTP/1.1 %d Answer\r\nContent-Type: text/plain\r\nContent-Length: %lld\r\n"
                      "Connection: close\r\n\r\n",
                      status, static_cast<long long>(FBody.size())) +
               FBody;
  }
  if (silent) return false;
  SendAll(client, response);
  return true;
}

void HttpServer::Hold(TSocket client) {
  char chunk[4096];
  for (int second = 0; second < kSilentSeconds && !FStopping; ++second) {
    const int ready = platform::NetWait(client, 1, 1);
    if (ready < 0 || (ready > 0 && platform::NetRecv(client, chunk, sizeof chunk) <= 0)) break;
  }
  CloseSocket(client);
}

}  // namespace vtest
