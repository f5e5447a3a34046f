#pragma once
// Signed, expiring access tokens, minted by the operator's back end or by
// `vardex token` and sent by a client as the body key TOKEN:
//
//   v1.<get|put>.<expiry>.<userno>.<name>.<signature>
//
// expiry: the last second (Unix time, decimal) at which the token is valid;
// userno: empty, or the USERNO (decimal, optional "-") the token is bound to;
// name: the file's full name on the server in unpadded base64url (RFC 4648
// section 5), so that it holds no "."; a name ending in a path separator
// grants every file below that directory;
// signature: the HMAC-SHA256, in lower-case hex, of everything before the
// last "." under one of the server's keys.
//
// No field can hold a ".", so the signed text splits into its fields one
// way only. A key file holds one hexadecimal key per line, at least 32 bytes
// each; tokens are minted with the first, and every line verifies, so that
// a new key can be put first while tokens of the old one run out.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TTokenDirection { kGet, kPut };

struct TAccessToken {
  TTokenDirection Direction = TTokenDirection::kGet;
  std::int64_t Expiry = 0;
  std::optional<std::int32_t> UserNo;
  std::string Name;
  std::string Signed;     // the text the signature covers
  std::string Signature;  // its 32 bytes
};

// The fields of a token's text; false when it is not one (wrong number of
// fields, an unknown version or direction, a number that does not fit, a
// name that is not canonical base64url or is empty, a signature that is not
// 64 hex digits).
bool ParseAccessToken(const std::string& text, TAccessToken& token);

// The token's text signed with `key`; empty when the HMAC could not be had.
std::string MintAccessToken(const std::string& key, TTokenDirection direction, std::int64_t expiry,
                            std::optional<std::int32_t> userNo, const std::string& name);

// What a server is asked to let through.
struct TTokenRequest {
  TTokenDirection Direction = TTokenDirection::kGet;
  std::string Name;
  std::int32_t UserNo = 0;
};

// Empty when `text` is a valid token for `request` at `now` (Unix seconds)
// under one of `keys`; otherwise why not ("malformed", "bad signature",
// "expired", "for the other direction", "for another USERNO", "for another
// file"). Signatures are compared in constant time.
std::string TokenRefusalReason(const std::string& text, const std::vector<std::string>& keys,
                               const TTokenRequest& request, std::int64_t now);

// Whether a token for `granted` covers the requested name: the same name;
// or, when `granted` ends in a separator, a name below it (not the directory
// itself) with no component that is "." or ".." (or only dots), which could
// climb out of the directory.
bool TokenNameCovers(const std::string& granted, const std::string& requested);

// The keys of a key file's text: one hexadecimal key per line, white space
// around it and blank lines ignored, at least 32 bytes each, at least one.
// False with `problem` saying what is wrong (never quoting a key).
bool ParseTokenKeys(const std::string& text, std::vector<std::string>& keys, std::string& problem);
// The same from the file `path`; "cannot be read" when it cannot.
bool ReadTokenKeyFile(const std::string& path, std::vector<std::string>& keys, std::string& problem);

// Seconds since 1970 on the system's clock.
std::int64_t UnixSecondsNow();
