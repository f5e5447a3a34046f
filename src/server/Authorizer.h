#pragma once
// [Access] AuthorizeUrl: the operator's back end, which knows its users and
// files, asked once per request that the lists and the tokens let through,
// before the file or the disk is looked at:
//
//   GET <AuthorizeUrl>?direction=download|upload&client=ADDR&filename=NAME
//       &fileno=N&userno=N&filesize=N[&filepos=N][&token=T]
//
// every value percent-encoded as the reports encode file names. 200 allows,
// 403 refuses; any other answer, or none within AuthorizeTimeout seconds, is
// decided by AuthorizeOnError, which never overrides a 403. The time-out is
// at most 8 seconds, so that the reply always reaches a client within its
// 10-second wait.

#include <string>

struct TAccessRequest;

struct TAuthorizer {
  static constexpr int kDefaultTimeout = 5;
  static constexpr int kMaxTimeout = 8;

  std::string Url;  // empty: nobody is asked
  int TimeoutSeconds = kDefaultTimeout;
  bool AllowOnError = false;
};

// The authoriser from the configured values; `timeout` as read (0 or less
// is the default, more than 8 is 8). Empty when they hold; otherwise the
// line that refuses the start, naming the key and the value. A URL is
// "http://host[:port][/path[?query]]" with a name, an IPv4 address or a
// bracketed IPv6 address as host, and no blanks, controls or "#".
std::string ReadAuthorizer(const std::string& url, int timeout, const std::string& onError, TAuthorizer& authorizer);

// The request's full URL: the configured one with the query added.
std::string AuthorizationUrl(const TAuthorizer& authorizer, const TAccessRequest& request);

enum class TAuthorization { kAllowed, kRefused, kFailed };

// One GET, bounded by the time-out. `detail` says what came back for a log
// line: "status 500", "no answer".
TAuthorization Authorize(const TAuthorizer& authorizer, const TAccessRequest& request, std::string& detail);
