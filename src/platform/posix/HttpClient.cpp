#include "platform/HttpClient.h"

#include <algorithm>
#include <mutex>

#include <curl/curl.h>

namespace platform {

namespace {

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

HttpSession::HttpSession(int totalSeconds)
    : FTotalSeconds(totalSeconds < 1 ? 1 : totalSeconds > kHttpTotalSeconds ? kHttpTotalSeconds : totalSeconds) {
  InitializeCurlOnce();
  FHandle = curl_easy_init();
}

HttpSession::~HttpSession() {
  if (FHandle) curl_easy_cleanup(static_cast<CURL*>(FHandle));
}

bool HttpFetch(HttpSession& session, const std::string& url, const HttpChunkHandler& onChunk,
               const std::string& headers, int* status) {
  if (status) *status = 0;
  if (!session.Valid()) return false;
  CURL* curl = static_cast<CURL*>(session.Handle());
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  // Signals would hit whichever worker thread runs the request.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(session.ConnectSeconds()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(session.TotalSeconds()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DeliverChunks);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &onChunk);
  curl_slist* lines = nullptr;
  for (std::size_t start = 0, end; (end = headers.find("\r\n", start)) != std::string::npos; start = end + 2) {
    curl_slist* longer = curl_slist_append(lines, headers.substr(start, end - start).c_str());
    if (!longer) {
      curl_slist_free_all(lines);
      return false;
    }
    lines = longer;
  }
  if (lines) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, lines);
  const bool complete = curl_easy_perform(curl) == CURLE_OK;
  // The list must outlive the transfer, and the handle must not keep it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(lines);
  long code = 0;
  if (status && curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK) *status = static_cast<int>(code);
  return complete;
}

}  // namespace platform
