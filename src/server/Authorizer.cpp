#include "server/Authorizer.h"

#include <cstdint>

#include "base/Format.h"
#include "base/Text.h"
#include "platform/HttpClient.h"
#include "server/AccessRules.h"
#include "server/Reports.h"

namespace {

bool IsHostByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsIpv6Byte(char c) { return HexDigit(c) >= 0 || c == ':' || c == '.'; }

bool WellFormedUrl(const std::string& url) {
  const std::string scheme = "http://";
  if (url.size() <= scheme.size() || !EqualsIgnoringAsciiCase(url.substr(0, scheme.size()), scheme)) return false;
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F || c == '#') return false;
  std::size_t p = scheme.size();
  if (url[p] == '[') {
    const std::size_t close = url.find(']', p);
    if (close == std::string::npos || close == p + 1) return false;
    for (std::size_t i = p + 1; i < close; ++i)
      if (!IsIpv6Byte(url[i])) return false;
    p = close + 1;
  } else {
    const std::size_t start = p;
    while (p < url.size() && IsHostByte(url[p])) ++p;
    if (p == start) return false;
  }
  if (p < url.size() && url[p] == ':') {
    const std::size_t start = ++p;
    while (p < url.size() && url[p] >= '0' && url[p] <= '9') ++p;
    std::uint64_t port = 0;
    if (!ParseDecimal(url.substr(start, p - start), 0, 65535, port) || port == 0) return false;
  }
  return p == url.size() || url[p] == '/';
}

}  // namespace

std::string ReadAuthorizer(const std::string& url, int timeout, const std::string& onError, TAuthorizer& authorizer) {
  authorizer = {};
  if (EqualsIgnoringAsciiCase(onError, "allow"))
    authorizer.AllowOnError = true;
  else if (!onError.empty() && !EqualsIgnoringAsciiCase(onError, "deny"))
    return "[Access] AuthorizeOnError=" + onError + " is neither deny nor allow";
  if (!url.empty() && !WellFormedUrl(url)) {
    authorizer = {};
    return "[Access] AuthorizeUrl=" + url + " is not an http://host[:port]/path URL";
  }
  authorizer.Url = url;
  authorizer.TimeoutSeconds = timeout <= 0                        ? TAuthorizer::kDefaultTimeout
                              : timeout > TAuthorizer::kMaxTimeout ? TAuthorizer::kMaxTimeout
                                                                   : timeout;
  return {};
}

std::string AuthorizationUrl(const TAuthorizer& authorizer, const TAccessRequest& request) {
  std::string url = authorizer.Url;
  url += url.find('?') == std::string::npos ? "?" : "&";
  url += request.Direction == TAccessDirection::kUpload ? "direction=upload" : "direction=download";
  url += "&client=" + PercentEncode(request.Client) + "&filename=" + PercentEncode(request.FileName);
  url += Format("&fileno=%d&userno=%d&filesize=%lld", static_cast<int>(request.FileNo),
                static_cast<int>(request.UserNo), static_cast<long long>(request.FileSize));
  if (request.FilePos) url += Format("&filepos=%lld", static_cast<long long>(*request.FilePos));
  if (!request.Token.empty()) url += "&token=" + PercentEncode(request.Token);
  return url;
}

TAuthorization Authorize(const TAuthorizer& authorizer, const TAccessRequest& request, std::string& detail) {
  platform::HttpSession session(authorizer.TimeoutSeconds);
  int status = 0;
  const bool complete =
      platform::HttpFetch(session, AuthorizationUrl(authorizer, request), [](const char*, std::size_t) {}, "", &status);
  // A refusal needs no body; a grant must have come whole, or it may be a
  // proxy's cut-off page.
  if (status == 403) return TAuthorization::kRefused;
  if (status == 200 && complete) return TAuthorization::kAllowed;
  // No status is a refused or failed connection as well as a time-out,
  // which the HTTP client does not tell apart.
  detail = status == 0 ? std::string("no answer") : Format("status %d", status);
  return TAuthorization::kFailed;
}
