#pragma once
// A loopback HTTP server for tests of the reports. It answers every request
// with the configured status and body (Content-Length, then close) and
// records what it was asked, one connection at a time.
//
//   vtest::HttpServer web;                 // 200 with an empty body
//   ReportHost = web.Host();               // "127.0.0.1:PORT"
//   ... code that reports ...
//   ASSERT_TRUE(web.WaitForRequests(1, 10));
//   EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "errno"), "2");

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/SocketLib.h"

namespace vtest {

class HttpServer {
 public:
  explicit HttpServer(int status = 200, std::string body = "");
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int Port() const { return FPort; }
  // "127.0.0.1:PORT", as ReportHost takes it.
  std::string Host() const;
  // The answer to the requests that follow; status 0 answers nothing: the
  // request is recorded and the connection held until the client leaves
  // (at most 30 seconds), as a stalled back end would, while later requests
  // are answered.
  void SetResponse(int status, std::string body);
  // From now on a request without a valid X-Vardex-Signature under `key`
  // (an HMAC-SHA256 over "<t>\n<target>", t within 5 minutes of now) is
  // answered 401, as the operator's web service would.
  void RequireSignature(std::string key);

  // Request lines ("GET /path?query HTTP/1.1") and their targets
  // ("/path?query"), in arrival order.
  std::vector<std::string> RequestLines() const;
  std::vector<std::string> Paths() const;
  // The status each request was answered with, in arrival order.
  std::vector<int> Statuses() const;
  // True once `count` requests have arrived within `seconds`.
  bool WaitForRequests(std::size_t count, int seconds) const;

  // The raw (still percent-encoded) value of `key` in a target's query;
  // empty when the key is absent.
  static std::string QueryValue(const std::string& target, const std::string& key);

 private:
  void Serve();
  // False when the connection is to be held unanswered (status 0).
  bool Answer(TSocket client);
  void Hold(TSocket client);
  bool SignatureValid(const std::string& request) const;  // with FMutex held

  TSocket FListener = INVALID_SOCK;
  int FPort = -1;
  std::atomic<bool> FStopping{false};
  mutable std::mutex FMutex;
  int FStatus;
  std::string FBody;
  std::string FSigningKey;
  std::vector<std::string> FRequestLines;
  std::vector<int> FStatuses;
  std::thread FThread;
  std::vector<std::thread> FHolders;  // touched by the serving thread only
};

}  // namespace vtest
