#pragma once
// A synchronous HTTP GET client: WinInet on Windows, libcurl on POSIX.
// Connect time-out 10 seconds, whole request 30 seconds. The status code is
// not examined: an error page is a body like any other.

#include <cstddef>
#include <string>

namespace platform {

// A root handle for fetches; invalid when it could not be opened, and then
// every fetch fails.
class HttpSession {
 public:
  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  bool Valid() const { return FHandle != nullptr; }
  void* Handle() const { return FHandle; }

 private:
  void* FHandle = nullptr;
};

// One open URL whose body is read chunk by chunk.
class HttpRequest {
 public:
  HttpRequest(const HttpSession& session, const std::string& url);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;
  bool Opened() const { return FHandle != nullptr; }
  // Bytes read into `chunk` (0 at the end of the body), or -1.
  long Read(char* chunk, std::size_t length);

 private:
  void* FHandle = nullptr;
};

}  // namespace platform
