#include "server/Reports.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "base/Format.h"
#include "server/GetHTTPS.h"
#include "server/Metrics.h"
#include "server/ReportSignature.h"
#include "server/ReportSpool.h"

std::string PercentEncode(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (unreserved) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

namespace {

// 128 random bits in hex: unique per event across restarts and instances
// without any state to keep. Where the system gives no randomness, the
// clock and a count of this process's events stand in.
std::string NewEventId() {
  static const char kHex[] = "0123456789abcdef";
  static std::atomic<std::uint32_t> events{0};
  std::uint32_t words[4];
  try {
    std::random_device random;
    for (std::uint32_t& word : words) word = random();
  } catch (...) {
    const auto ticks = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    words[0] = static_cast<std::uint32_t>(ticks >> 32);
    words[1] = static_cast<std::uint32_t>(ticks);
    words[2] = ++events;
    words[3] = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::string id;
  for (std::uint32_t bits : words)
    for (int digit = 0; digit < 8; ++digit, bits >>= 4) id += kHex[bits & 0x0F];
  return id;
}

// The file name is encoded: raw blanks, "&", "#" or CR LF would break the
// request or smuggle text into it. The web service decodes the same bytes.
void SendReport(const std::string& host, const TReportOptions& options, const char* path, std::int32_t errorCode,
                std::int32_t fileNo, std::int64_t fileSize, const std::string& fileName) {
  if (host.empty()) return;
  std::string target = Format("%s?errno=%d&fileno=%d&filesize=%lld&filename=%s", path, static_cast<int>(errorCode),
                              static_cast<int>(fileNo), static_cast<long long>(fileSize),
                              PercentEncode(fileName).c_str());
  if (options.Spool) target += "&event=" + NewEventId();
  if (DeliverReport(host, target, options.SigningKey)) return;
  ++Metrics().FailedReports;
  if (options.Spool) SpoolReport(options, target);
}

}  // namespace

bool DeliverReport(const std::string& host, const std::string& target, const std::string& signingKey) {
  std::string headers;
  if (!signingKey.empty()) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string signature =
        ReportSignature(signingKey, target, std::chrono::duration_cast<std::chrono::seconds>(now).count());
    // An unsigned report would only be refused: it counts as failed.
    if (signature.empty()) return false;
    headers = "X-Vardex-Signature: " + signature + "\r\n";
  }
  TGetHTTP http;
  const char* answer = nullptr;
  return http.ReadUrl("http://" + host + target, answer, headers) >= 0 && http.Status() >= 200 && http.Status() < 300;
}

void SendDownloadErrorReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                             const std::string& fileName, const TReportOptions& options) {
  SendReport(host, options, "/service/serverDownloadError.php", errorCode, fileNo, fileSize, fileName);
}

void SendUploadCompleteReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                              const std::string& fileName, const TReportOptions& options) {
  SendReport(host, options, "/service/UploadCompleteServer.php", errorCode, fileNo, fileSize, fileName);
}
