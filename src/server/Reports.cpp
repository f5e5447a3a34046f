#include "server/Reports.h"

#include "server/GetHTTPS.h"
#include "base/Format.h"
#include "server/Metrics.h"

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

// The file name is encoded: raw blanks, "&", "#" or CR LF would break the
// request or smuggle text into it. The web service decodes the same bytes.
void SendReport(const std::string& host, const char* path, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                const std::string& fileName, const std::string& sha256 = {}) {
  if (host.empty()) return;
  std::string url = Format("http://%s%s?errno=%d&fileno=%d&filesize=%lld&filename=%s", host.c_str(),
                           path, static_cast<int>(errorCode), static_cast<int>(fileNo),
                           static_cast<long long>(fileSize), PercentEncode(fileName).c_str());
  if (!sha256.empty()) url += "&sha256=" + sha256;
  TGetHTTP http;
  const char* answer = nullptr;
  if (http.ReadUrl(url, answer) < 0) ++Metrics().FailedReports;
}

}  // namespace

void SendDownloadErrorReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                             const std::string& fileName) {
  SendReport(host, "/service/serverDownloadError.php", errorCode, fileNo, fileSize, fileName);
}

void SendUploadCompleteReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                              const std::string& fileName, const std::string& sha256) {
  SendReport(host, "/service/UploadCompleteServer.php", errorCode, fileNo, fileSize, fileName, sha256);
}
