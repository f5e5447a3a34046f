#pragma once
// One synchronous HTTP GET into a growing buffer. Failures give -1 or the
// empty text and never raise.

#include <cstdint>
#include <string>

#include "platform/HttpClient.h"

class TGetHTTP {
 public:
  TGetHTTP();
  ~TGetHTTP();
  TGetHTTP(const TGetHTTP&) = delete;
  TGetHTTP& operator=(const TGetHTTP&) = delete;

  // Resizes the buffer, keeping min(old, n) bytes; 0 or less releases it.
  void SetBufferSize(std::int32_t n);
  // The body's length with `data` pointing at it, or -1 (data untouched).
  // `headers` are extra request header lines ("Name: value\r\n" each).
  std::int32_t ReadUrl(const std::string& url, const char*& data, const std::string& headers = "");
  // The status code of the last ReadUrl's answer; 0 when none came.
  int Status() const { return FStatus; }
  // The body as text; empty on failure.
  std::string GetUrl(const std::string& url);

 private:
  platform::HttpSession FInternet;
  char* FBuffer = nullptr;
  std::int32_t FBufferSize = 0;
  int FStatus = 0;
};

// A TGetHTTP of its own for one GET; the body or the empty text.
std::string HttpGet(const std::string& url);
