#include "platform/HttpClient.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "platform/Threads.h"

namespace platform {

namespace {

// WinInet's own calls and the 2048-byte chunk need a fraction of this.
constexpr std::size_t kRequestStackBytes = 256 * 1024;

void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  ::InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
}

}  // namespace

HttpSession::HttpSession(int totalSeconds)
    : FTotalSeconds(totalSeconds < 1 ? 1 : totalSeconds > kHttpTotalSeconds ? kHttpTotalSeconds : totalSeconds) {
  HINTERNET internet = ::InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (internet) {
    // Each connect, send and receive is bounded; HttpFetch bounds the whole.
    const DWORD total = static_cast<DWORD>(FTotalSeconds) * 1000;
    SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, static_cast<DWORD>(ConnectSeconds()) * 1000);
    SetTimeout(internet, INTERNET_OPTION_SEND_TIMEOUT, total);
    SetTimeout(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, total);
  }
  FHandle = internet;
}

HttpSession::~HttpSession() {
  if (FHandle) ::InternetCloseHandle(static_cast<HINTERNET>(FHandle));
}

namespace {

// One request on a thread of its own. WinInet's time-outs bound each
// connect, send and receive, not the request, and a handle closed from
// another thread does not cancel every blocking call (Wine's does not): a
// host that accepts and then stalls could hold the caller for minutes. So
// the caller waits for the request at most the total; one still running then
// is left to end by itself, and frees what it holds.
struct Request {
  HINTERNET root;
  ULONGLONG totalMilliseconds;
  std::string url;
  std::string headers;
  int status = 0;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool complete = false;
  bool abandoned = false;  // the caller has left; the root is this request's
  std::string body;
};

// The body to its end, or false when a read fails or the total is over.
bool ReadBody(HINTERNET request, ULONGLONG totalMilliseconds, std::string& body) {
  const ULONGLONG deadline = ::GetTickCount64() + totalMilliseconds;
  while (::GetTickCount64() < deadline) {
    char chunk[kHttpChunkSize];
    DWORD read = 0;
    if (!::InternetReadFile(request, chunk, sizeof chunk, &read)) return false;
    if (read == 0) return true;
    body.append(chunk, read);
  }
  return false;
}

void Run(void* argument) {
  // The thread's own share of the request.
  const std::unique_ptr<std::shared_ptr<Request>> share(static_cast<std::shared_ptr<Request>*>(argument));
  Request* r = share->get();
  bool complete = false;
  int status = 0;
  std::string body;
  try {
    HINTERNET request = ::InternetOpenUrlA(r->root, r->url.c_str(), r->headers.empty() ? nullptr : r->headers.c_str(),
                                           static_cast<DWORD>(r->headers.size()), INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request) {
      DWORD code = 0, size = sizeof code;
      if (::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
        status = static_cast<int>(code);
      complete = ReadBody(request, r->totalMilliseconds, body);
      ::InternetCloseHandle(request);
    }
  } catch (...) {
    complete = false;
  }
  std::lock_guard<std::mutex> lock(r->mutex);
  r->done = true;
  r->complete = complete;
  r->status = status;
  r->body = std::move(body);
  if (r->abandoned) ::InternetCloseHandle(r->root);
  r->finished.notify_all();
}

}  // namespace

bool HttpFetch(HttpSession& session, const std::string& url, const HttpChunkHandler& onChunk,
               const std::string& headers, int* status) {
  if (status) *status = 0;
  if (!session.Valid()) return false;
  std::shared_ptr<Request> request;
  try {
    request = std::make_shared<Request>();
    request->url = url;
    request->headers = headers;
  } catch (...) {
    return false;
  }
  request->root = static_cast<HINTERNET>(session.Handle());
  request->totalMilliseconds = static_cast<ULONGLONG>(session.TotalSeconds()) * 1000;
  // A thread of the platform's own making, as every thread of the server:
  // the library's threads keep handles of ended threads for reuse.
  auto* share = new (std::nothrow) std::shared_ptr<Request>(request);
  ThreadHandle thread = 0;
  if (!share || !StartThread(Run, share, kRequestStackBytes, thread)) {
    delete share;
    return false;
  }
  DetachThread(thread);
  std::unique_lock<std::mutex> lock(request->mutex);
  if (!request->finished.wait_for(lock, std::chrono::milliseconds(request->totalMilliseconds),
                                  [&] { return request->done; })) {
    // The root handle goes with the request, which closes it at its end.
    request->abandoned = true;
    session.Forget();
    return false;
  }
  lock.unlock();
  if (status) *status = request->status;
  const std::string& body = request->body;
  for (std::size_t done = 0; done < body.size(); done += kHttpChunkSize)
    onChunk(body.data() + done, std::min(kHttpChunkSize, body.size() - done));
  return request->complete;
}

}  // namespace platform
