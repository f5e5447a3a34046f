#pragma once
// Reports to the operator's web service: a download whose file check failed,
// an upload that reached its end. Sent on the calling worker's thread; the
// answer is not used and a failed report is lost.

#include <cstdint>
#include <string>

// RFC 3986: A-Z a-z 0-9 - . _ ~ stay, every other byte becomes %XX.
std::string PercentEncode(const std::string& bytes);

// `host` is "host" or "host:port" of the web service, plain HTTP; empty
// sends nothing.
// GET http://host/service/serverDownloadError.php?errno=..&fileno=..&filesize=..&filename=..
void SendDownloadErrorReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                             const std::string& fileName);
// GET http://host/service/UploadCompleteServer.php?errno=..&fileno=..&filesize=..&filename=..
// with "&sha256=.." after it when `sha256` (the file's digest in hex) is given.
void SendUploadCompleteReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                              const std::string& fileName, const std::string& sha256 = {});
