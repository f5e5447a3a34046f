#include "service/AccessOptions.h"

#include <cstdint>
#include <utility>

#include "base/Text.h"
#include "server/BanList.h"

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Malformed(const char* key, const std::string& value) {
  return "[Access] " + std::string(key) + "=" + value + " is malformed";
}

// A whole number from `lowest` to `highest`, or `fallback` when the key is
// missing or empty. Empty when well formed; otherwise the reason.
std::string ReadCount(const TIniFile& ini, const char* key, int lowest, int highest, int fallback, int& count) {
  const std::string value = ini.ReadString("Access", key, "");
  const std::string digits = Trimmed(value);
  if (digits.empty()) {
    count = fallback;
    return {};
  }
  std::uint64_t number = 0;
  if (!ParseDecimal(digits, 0, static_cast<std::uint64_t>(highest), number) || number < static_cast<std::uint64_t>(lowest))
    return Malformed(key, value);
  count = static_cast<int>(number);
  return {};
}

}  // namespace

std::string ReadAccessRules(const TIniFile& ini, const std::string& directory, TAccessRules& rules) {
  TAccessRules read;
  for (const auto& [key, list] : {std::pair<const char*, TAddressList*>{"DownloadFrom", &read.DownloadFrom},
                                  {"UploadFrom", &read.UploadFrom},
                                  {"NeverBan", &read.Ban.NeverBan}}) {
    const std::string value = ini.ReadString("Access", key, "");
    if (!list->Parse(value)) return Malformed(key, value);
  }
  std::string refusal = ReadCount(ini, "MaxConnectionsPerHost", 0, kMaxAccessCount, 0, read.MaxConnectionsPerHost);
  if (refusal.empty()) refusal = ReadCount(ini, "BanAfter", 0, kMaxAccessCount, 0, read.Ban.After);
  // Beyond the longest ban a longer first one changes nothing.
  if (refusal.empty()) refusal = ReadCount(ini, "BanSeconds", 1, INT32_MAX, 600, read.Ban.Seconds);
  if (!refusal.empty()) return refusal;
  if (read.Ban.Seconds > TBanList::kLongestBanSeconds) read.Ban.Seconds = TBanList::kLongestBanSeconds;

  // Tokens and the operator's authoriser: a key file, a switch or a URL
  // that cannot be read must not let everyone in either.
  const std::string requireToken = ini.ReadString("Access", "RequireToken", "");
  std::int32_t required = 0;
  if (!requireToken.empty() && (!TIniFile::ParseInteger(requireToken, required) || (required != 0 && required != 1)))
    return "[Access] RequireToken=" + requireToken + " is neither 0 nor 1";
  refusal = ReadTokenRules(ini.ReadString("Access", "TokenKeys", ""), directory, required == 1, read.Tokens);
  if (refusal.empty())
    refusal = ReadAuthorizer(ini.ReadString("Access", "AuthorizeUrl", ""),
                             ini.ReadInteger("Access", "AuthorizeTimeout", TAuthorizer::kDefaultTimeout),
                             ini.ReadString("Access", "AuthorizeOnError", ""), read.Authorizer);
  if (!refusal.empty()) return refusal;
  rules = std::move(read);
  return {};
}
