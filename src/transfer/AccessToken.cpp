#include "transfer/AccessToken.h"

#include <chrono>
#include <cstdint>

#include "base/Format.h"
#include "base/Text.h"
#include "platform/Files.h"
#include "platform/Hmac.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kMinKeyBytes = 32;
constexpr std::size_t kFieldCount = 6;
const char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string Base64UrlEncode(const std::string& bytes) {
  std::string text;
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : bytes) {
    bits = (bits << 8) | static_cast<unsigned char>(c);
    held += 8;
    while (held >= 6) {
      held -= 6;
      text += kBase64Url[(bits >> held) & 0x3F];
    }
  }
  if (held > 0) text += kBase64Url[(bits << (6 - held)) & 0x3F];
  return text;
}

// Unpadded base64url only in its one canonical spelling: a text that
// decodes but encodes back differently (stray low bits, a length that no
// byte count gives) is refused, so that one name has one token text.
bool Base64UrlDecode(const std::string& text, std::string& bytes) {
  bytes.clear();
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    const char* at = c == '\0' ? nullptr : std::char_traits<char>::find(kBase64Url, 64, c);
    if (at == nullptr) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(at - kBase64Url);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return Base64UrlEncode(bytes) == text;
}

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

// Pairs of hex digits into bytes; false for anything else.
bool Unhex(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::vector<std::string> SplitAtDots(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1)
    fields.push_back(text.substr(start, dot - start));
  fields.push_back(text.substr(start));
  return fields;
}

// "-"? digits, within `limit` in magnitude; no blanks, no "+", no hex.
bool ParseSigned(const std::string& text, std::uint64_t limit, std::int64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  std::uint64_t magnitude = 0;
  if (!ParseDecimal(text, negative ? 1 : 0, limit + (negative ? 1 : 0), magnitude)) return false;
  value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

const char* DirectionText(TTokenDirection direction) { return direction == TTokenDirection::kGet ? "get" : "put"; }

std::string SignedText(TTokenDirection direction, std::int64_t expiry, std::optional<std::int32_t> userNo,
                       const std::string& name) {
  return Format("v1.%s.%lld.", DirectionText(direction), static_cast<long long>(expiry)) +
         (userNo ? std::to_string(*userNo) : std::string()) + "." + Base64UrlEncode(name);
}

// Every byte is looked at whatever the first difference, so that the time
// taken tells an attacker nothing about how much of a forgery was right.
bool EqualInConstantTime(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// On Windows both separators part a name; on POSIX only "/".
bool IsSeparator(char c) { return c == '/' || c == platform::kPathDelimiter; }

bool HasDotComponent(const std::string& name) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::string component = name.substr(start, end - start);
    if (!component.empty() && component.find_first_not_of('.') == std::string::npos) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool ParseAccessToken(const std::string& text, TAccessToken& token) {
  const std::vector<std::string> fields = SplitAtDots(text);
  if (fields.size() != kFieldCount || fields[0] != "v1") return false;
  TAccessToken parsed;
  if (fields[1] == "get")
    parsed.Direction = TTokenDirection::kGet;
  else if (fields[1] == "put")
    parsed.Direction = TTokenDirection::kPut;
  else
    return false;
  std::uint64_t expiry = 0;
  if (!ParseDecimal(fields[2], 0, INT64_MAX, expiry)) return false;
  parsed.Expiry = static_cast<std::int64_t>(expiry);
  if (!fields[3].empty()) {
    std::int64_t userNo = 0;
    if (!ParseSigned(fields[3], INT32_MAX, userNo)) return false;
    parsed.UserNo = static_cast<std::int32_t>(userNo);
  }
  if (!Base64UrlDecode(fields[4], parsed.Name) || parsed.Name.empty()) return false;
  if (fields[5].size() != 64 || !Unhex(fields[5], parsed.Signature)) return false;
  parsed.Signed = text.substr(0, text.rfind('.'));
  token = std::move(parsed);
  return true;
}

std::string MintAccessToken(const std::string& key, TTokenDirection direction, std::int64_t expiry,
                            std::optional<std::int32_t> userNo, const std::string& name) {
  const std::string text = SignedText(direction, expiry, userNo, name);
  std::string signature;
  if (!platform::HmacSha256(key, text, signature)) return {};
  return text + "." + Hex(signature);
}

bool TokenNameCovers(const std::string& granted, const std::string& requested) {
  if (granted.empty() || !IsSeparator(granted.back())) return requested == granted;
  return requested.size() > granted.size() && requested.compare(0, granted.size(), granted) == 0 &&
         !HasDotComponent(requested);
}

std::string TokenRefusalReason(const std::string& text, const std::vector<std::string>& keys,
                               const TTokenRequest& request, std::int64_t now) {
  TAccessToken token;
  if (!ParseAccessToken(text, token)) return "malformed";
  // Every key is tried, so that the time taken does not tell which one
  // (or whether any) signed it.
  bool signedByKey = false;
  for (const std::string& key : keys) {
    std::string expected;
    if (platform::HmacSha256(key, token.Signed, expected) && EqualInConstantTime(expected, token.Signature))
      signedByKey = true;
  }
  if (!signedByKey) return "bad signature";
  if (now > token.Expiry) return "expired";
  if (token.Direction != request.Direction) return "for the other direction";
  if (token.UserNo && *token.UserNo != request.UserNo) return "for another USERNO";
  if (!TokenNameCovers(token.Name, request.Name)) return "for another file";
  return {};
}

bool ParseTokenKeys(const std::string& text, std::vector<std::string>& keys, std::string& problem) {
  std::vector<std::string> parsed;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    std::string key;
    if (!Unhex(line, key)) {
      problem = Format("line %u is not a hexadecimal key with an even number of digits",
                       static_cast<unsigned>(lineNumber));
      return false;
    }
    if (key.size() < kMinKeyBytes) {
      problem = Format("line %u holds %u bytes of key; at least %u are needed", static_cast<unsigned>(lineNumber),
                       static_cast<unsigned>(key.size()), static_cast<unsigned>(kMinKeyBytes));
      return false;
    }
    parsed.push_back(std::move(key));
  }
  if (parsed.empty()) {
    problem = "holds no key";
    return false;
  }
  keys = std::move(parsed);
  return true;
}

bool ReadTokenKeyFile(const std::string& path, std::vector<std::string>& keys, std::string& problem) {
  problem = "cannot be read";
  if (platform::RegularFileSize(path) < 0) return false;
  const platform::UniqueFile file(platform::OpenFile(path, platform::OpenMode::kReadExisting));
  if (file.get() == platform::kNoFile) return false;
  std::string text;
  char buffer[4096];
  long n = 0;
  while ((n = platform::ReadFile(file.get(), buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  if (n < 0) return false;
  return ParseTokenKeys(text, keys, problem);
}

std::int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}
