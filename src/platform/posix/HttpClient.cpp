#include "platform/HttpClient.h"

#include <algorithm>
#include <mutex>

#include <curl/curl.h>

namespace platform {

namespace {

constexpr long kConnectSeconds = 10;
constexpr long kTotalSeconds = 30;

// curl_global_init is not safe against a concurrent first call.
void InitializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t DeliverChunks(char* data, size_t size, size_t count, void* handler) {
  const size_t length = size * count;
  const auto& onChunk = *static_cast<const HttpChunkHandler*>(handler);
  for (size_t done = 0; done < length; done += kHttpChunkSize)
    onChunk(data + done, std::min(kHttpChunkSize, length - done));
  return length;
}

}  // namespace

HttpSession::HttpSession() {
  InitializeCurlOnce();
  FHandle = curl_easy_init();
}

HttpSession::~HttpSession() {
  if (FHandle) curl_easy_cleanup(static_cast<CURL*>(FHandle));
}

bool HttpFetch(HttpSession& session, const std::string& url, const HttpChunkHandler& onChunk) {
  if (!session.Valid()) return false;
  CURL* curl = static_cast<CURL*>(session.Handle());
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  // Signals would hit whichever worker thread runs the request.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTotalSeconds);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DeliverChunks);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &onChunk);
  return curl_easy_perform(curl) == CURLE_OK;
}

}  // namespace platform
