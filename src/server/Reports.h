#pragma once
// Reports to the operator's web service: a download whose file check failed,
// an upload that reached its end. Sent on the calling worker's thread; the
// answer is not used and a failed report is lost.

#include <cstdint>
#include <string>

// "host" or "host:port" of the web service, plain HTTP; empty sends nothing.
// Read from [Report] Host at service start, before any worker exists.
extern std::string& ReportHost;

// RFC 3986: A-Z a-z 0-9 - . _ ~ stay, every other byte becomes %XX.
std::string PercentEncode(const std::string& bytes);

// GET http://ReportHost/service/serverDownloadError.php?errno=..&fileno=..&filesize=..&filename=..
void SendDownloadErrorReport(std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                             const std::string& fileName);
// GET http://ReportHost/service/UploadCompleteServer.php?errno=..&fileno=..&filesize=..&filename=..
void SendUploadCompleteReport(std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                              const std::string& fileName);
