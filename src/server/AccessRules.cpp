#include "server/AccessRules.h"

#include <algorithm>

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool TAddressList::Parse(const std::string& text) {
  std::vector<platform::IpPrefix> prefixes;
  if (!Trimmed(text).empty()) {
    std::size_t at = 0;
    for (;;) {
      const std::size_t end = std::min(text.find(';', at), text.size());
      platform::IpPrefix prefix;
      if (!platform::IpPrefix::Parse(Trimmed(text.substr(at, end - at)), prefix)) return false;
      prefixes.push_back(prefix);
      if (end == text.size()) break;
      at = end + 1;
    }
  }
  FPrefixes = std::move(prefixes);
  return true;
}

bool TAddressList::Allows(const std::string& client) const {
  if (FPrefixes.empty()) return true;
  platform::IpAddress address;
  if (!platform::IpAddress::Parse(client, address)) return false;
  return std::any_of(FPrefixes.begin(), FPrefixes.end(),
                     [&address](const platform::IpPrefix& prefix) { return prefix.Contains(address); });
}

std::string TAccessRules::Refusal(TAccessDirection direction, const std::string& client) const {
  if (direction == TAccessDirection::kDownload) return DownloadFrom.Allows(client) ? "" : "[Access] DownloadFrom";
  return UploadFrom.Allows(client) ? "" : "[Access] UploadFrom";
}
