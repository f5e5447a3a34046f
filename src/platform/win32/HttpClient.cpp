#include "platform/HttpClient.h"

#include <windows.h>
#include <wininet.h>

namespace platform {

namespace {

constexpr DWORD kConnectMilliseconds = 10000;
constexpr DWORD kTotalMilliseconds = 30000;

void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  ::InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
}

}  // namespace

HttpSession::HttpSession() {
  HINTERNET internet = ::InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (internet) {
    // WinInet has no time-out for the whole request: each send and receive
    // is bounded, and the read loop below gives up after the total.
    SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectMilliseconds);
    SetTimeout(internet, INTERNET_OPTION_SEND_TIMEOUT, kTotalMilliseconds);
    SetTimeout(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, kTotalMilliseconds);
  }
  FHandle = internet;
}

HttpSession::~HttpSession() {
  if (FHandle) ::InternetCloseHandle(static_cast<HINTERNET>(FHandle));
}

bool HttpFetch(const HttpSession& session, const std::string& url, const HttpChunkHandler& onChunk) {
  if (!session.Valid()) return false;
  HINTERNET request = ::InternetOpenUrlA(static_cast<HINTERNET>(session.Handle()), url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (!request) return false;
  const ULONGLONG deadline = ::GetTickCount64() + kTotalMilliseconds;
  bool complete = false;
  while (::GetTickCount64() < deadline) {
    char chunk[kHttpChunkSize];
    DWORD read = 0;
    if (!::InternetReadFile(request, chunk, sizeof chunk, &read)) break;
    if (read == 0) {
      complete = true;
      break;
    }
    onChunk(chunk, read);
  }
  ::InternetCloseHandle(request);
  return complete;
}

}  // namespace platform
