#pragma once
// Reports to the operator's web service: a download whose file check failed,
// an upload that reached its end. The first attempt is sent on the calling
// worker's thread; the answer's body is not used. A report counts as
// delivered only with a 2xx answer; one that fails is lost, unless the
// options keep it for the report spool (ReportSpool.h).

#include <cstdint>
#include <string>

#include "server/ServerConfig.h"

// RFC 3986: A-Z a-z 0-9 - . _ ~ stay, every other byte becomes %XX.
std::string PercentEncode(const std::string& bytes);

// `host` is "host" or "host:port" of the web service, plain HTTP; empty
// sends nothing. With options.Spool each report ends with "&event=ID".
// GET http://host/service/serverDownloadError.php?errno=..&fileno=..&filesize=..&filename=..
void SendDownloadErrorReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                             const std::string& fileName, const TReportOptions& options = {});
// GET http://host/service/UploadCompleteServer.php?errno=..&fileno=..&filesize=..&filename=..
void SendUploadCompleteReport(const std::string& host, std::int32_t errorCode, std::int32_t fileNo, std::int64_t fileSize,
                              const std::string& fileName, const TReportOptions& options = {});

// One attempt at `target` (the path and query) on `host`, with the header
// X-Vardex-Signature when `signingKey` is set. True on a 2xx answer.
bool DeliverReport(const std::string& host, const std::string& target, const std::string& signingKey);
