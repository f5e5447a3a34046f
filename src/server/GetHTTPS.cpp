#include "server/GetHTTPS.h"

#include <cstdint>
#include <cstring>
#include <new>

TGetHTTP::TGetHTTP() = default;

TGetHTTP::~TGetHTTP() { SetBufferSize(0); }

// A block that cannot be had leaves the buffer as it was; ReadUrl sees the
// size unchanged and fails.
void TGetHTTP::SetBufferSize(std::int32_t n) {
  if (n == FBufferSize) return;
  char* block = nullptr;
  if (n > 0) {
    block = new (std::nothrow) char[static_cast<std::size_t>(n)];
    if (!block) return;
    if (FBuffer) std::memcpy(block, FBuffer, static_cast<std::size_t>(n < FBufferSize ? n : FBufferSize));
  }
  delete[] FBuffer;
  FBuffer = block;
  FBufferSize = n > 0 ? n : 0;
}

std::int32_t TGetHTTP::ReadUrl(const std::string& url, const char*& data, const std::string& headers) {
  std::int32_t total = 0;
  bool stored = true;
  const bool complete = platform::HttpFetch(FInternet, url, [&](const char* chunk, std::size_t length) {
    if (!stored) return;
    const std::int64_t newTotal = static_cast<std::int64_t>(total) + static_cast<std::int64_t>(length);
    if (newTotal > INT32_MAX) {
      stored = false;
      return;
    }
    // Growing to the exact new total costs a copy per chunk; report answers
    // are short.
    if (newTotal > FBufferSize) SetBufferSize(static_cast<std::int32_t>(newTotal));
    if (newTotal > FBufferSize) {
      stored = false;
      return;
    }
    std::memcpy(FBuffer + total, chunk, length);
    total = static_cast<std::int32_t>(newTotal);
  }, headers, &FStatus);
  if (!complete || !stored) return -1;
  data = FBuffer;
  return total;
}

std::string TGetHTTP::GetUrl(const std::string& url) {
  const char* data = nullptr;
  const std::int32_t length = ReadUrl(url, data);
  if (length <= 0) return {};
  return std::string(data, static_cast<std::size_t>(length));
}

std::string HttpGet(const std::string& url) {
  TGetHTTP http;
  return http.GetUrl(url);
}
