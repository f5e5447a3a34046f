#pragma once
// A synchronous HTTP GET client: WinInet on Windows, libcurl on POSIX.
// Connect time-out 10 seconds, whole request 30 seconds, so a dead report
// host holds its caller for at most 30 seconds; a session may be given a
// shorter bound for the whole (the connect then waits no longer either). An error page is a body like
// any other; the status code is handed back for callers that tell them
// apart.

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// The most one chunk of a body holds.
constexpr std::size_t kHttpChunkSize = 2048;

// The most one request may take, unless its session is given less.
constexpr int kHttpTotalSeconds = 30;

// A root handle for fetches; invalid when it could not be opened, and then
// every fetch fails.
class HttpSession {
 public:
  // Every fetch of this session ends within `totalSeconds` (1 to 30).
  explicit HttpSession(int totalSeconds = kHttpTotalSeconds);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  bool Valid() const { return FHandle != nullptr; }
  void* Handle() const { return FHandle; }
  // The handle went with a request that outlived its deadline, which closes
  // it: the session is spent.
  void Forget() { FHandle = nullptr; }
  int TotalSeconds() const { return FTotalSeconds; }
  // The connect's own bound: 10 seconds, or the whole when that is less.
  int ConnectSeconds() const { return FTotalSeconds < 10 ? FTotalSeconds : 10; }

 private:
  void* FHandle = nullptr;
  int FTotalSeconds;
};

using HttpChunkHandler = std::function<void(const char* chunk, std::size_t length)>;

// GETs `url` (handed over unchanged, not written to any cache) with the extra
// request header lines `headers` ("Name: value\r\n" each; empty for none)
// and passes the body to `onChunk` in order, in chunks of 1 to
// kHttpChunkSize bytes. False when the URL cannot be opened or the body
// cannot be read to its end within the session's time; the chunks passed before
// a failure stay passed. `status`, when given, receives the answer's status
// code, or 0 when no answer came.
bool HttpFetch(HttpSession& session, const std::string& url, const HttpChunkHandler& onChunk,
               const std::string& headers = "", int* status = nullptr);

}  // namespace platform
