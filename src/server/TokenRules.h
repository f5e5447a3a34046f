#pragma once
// [Access] TokenKeys and RequireToken: signed, expiring tokens
// (transfer/AccessToken.h) that bind a direction, a file or directory, an
// expiry and optionally a USERNO. Without keys a TOKEN is ignored, as it
// always was; with keys a request that sends one must send a valid one, and
// with RequireToken every request must.

#include <cstdint>
#include <string>
#include <vector>

struct TAccessRequest;

struct TTokenRules {
  // The keys of the TokenKeys file, the first one minting; empty: no
  // tokens are checked.
  std::vector<std::string> Keys;
  bool Required = false;
};

// The rules from the configured values: `keyFile` as written (relative to
// `directory` unless a full path; empty for none) and `required` (RequireToken
// read as 0 or 1). Empty when they hold; otherwise the line that refuses the
// start, naming the key and the value (never a key's bytes).
std::string ReadTokenRules(const std::string& keyFile, const std::string& directory, bool required,
                           TTokenRules& rules);

// Empty when the token rules let `request` go on at `now` (Unix seconds);
// otherwise the rule that refuses it and why ("[Access] TokenKeys: expired").
std::string TokenRefusal(const TTokenRules& rules, const TAccessRequest& request, std::int64_t now);
