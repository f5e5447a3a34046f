#pragma once
// The signature that lets the operator's web service tell the server's
// reports from forgeries: the header
//
//   X-Vardex-Signature: t=<unix seconds>,v1=<hex HMAC-SHA256>
//
// whose HMAC is taken under the shared key over "<unix seconds>\n<target>",
// the target being the request's path and query exactly as sent
// ("/service/UploadCompleteServer.php?errno=0&..."). The time lets a receiver
// refuse a signature that is older than a few minutes (a replay).

#include <cstdint>
#include <string>

// The header's value for `target` at `unixTime`; empty when the HMAC could
// not be computed.
std::string ReportSignature(const std::string& key, const std::string& target, std::int64_t unixTime);

// The key in the text of a key file: one hexadecimal string, white space
// around it allowed, of at least 32 bytes (64 digits). False with `problem`
// saying what is wrong (never quoting the key).
bool ParseSigningKey(const std::string& text, std::string& key, std::string& problem);
