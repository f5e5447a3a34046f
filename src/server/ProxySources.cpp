#include "server/ProxySources.h"

#include <algorithm>

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool TProxySources::Parse(const std::string& text) {
  std::vector<platform::IpPrefix> prefixes;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    const std::string entry = Trimmed(text.substr(at, end - at));
    platform::IpPrefix prefix;
    if (!entry.empty()) {
      if (!platform::IpPrefix::Parse(entry, prefix)) return false;
      prefixes.push_back(prefix);
    }
    if (end == text.size()) break;
    at = end + 1;
  }
  FPrefixes = std::move(prefixes);
  return true;
}

bool TProxySources::Contains(const std::string& address) const {
  platform::IpAddress value;
  if (!platform::IpAddress::Parse(address, value)) return false;
  for (const platform::IpPrefix& prefix : FPrefixes)
    if (prefix.Contains(value)) return true;
  return false;
}
