#include "server/ProxySources.h"

#include "server/ProxyHeader.h"

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "a.b.c.d" or "a.b.c.d/n" with n from 0 to 32; host bits must be zero, so
// that a typo such as 10.0.0.1/8 is not silently widened.
bool ParseRange(const std::string& entry, std::uint32_t& network, std::uint32_t& mask) {
  const std::size_t slash = entry.find('/');
  if (!ParseIPv4(entry.substr(0, slash), network)) return false;
  int bits = 32;
  if (slash != std::string::npos) {
    const std::string digits = entry.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    bits = std::stoi(digits);
    if (bits > 32) return false;
  }
  mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  return (network & ~mask) == 0;
}

}  // namespace

bool TProxySources::Parse(const std::string& text) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    const std::string entry = Trimmed(text.substr(at, end - at));
    std::uint32_t network = 0, mask = 0;
    if (!entry.empty()) {
      if (!ParseRange(entry, network, mask)) return false;
      ranges.emplace_back(network, mask);
    }
    if (end == text.size()) break;
    at = end + 1;
  }
  FRanges = std::move(ranges);
  return true;
}

bool TProxySources::Contains(const std::string& address) const {
  std::uint32_t value = 0;
  if (!ParseIPv4(address, value)) return false;
  for (const auto& [network, mask] : FRanges)
    if ((value & mask) == network) return true;
  return false;
}
