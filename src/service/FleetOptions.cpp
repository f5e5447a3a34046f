#include "service/FleetOptions.h"

#include <algorithm>


std::string ReadFleetOptions(const TIniFile& ini, TFleetOptions& options) {
  options.ProxyFrom = ini.ReadString("Server", "ProxyFrom", "");
  options.DrainSeconds = std::max(0, ini.ReadInteger("Server", "DrainSeconds", 0));
  options.StatusPort = ini.ReadInteger("Status", "Port", 0);
  options.StatusToken = ini.ReadString("Status", "Token", "");
  std::string refusal = CheckPort(ini, "Status", options.StatusPort);
  if (!refusal.empty()) return refusal;
  // A typo must not leave the balancer's health checks failing unexplained
  // on an address the operator did not choose.
  options.StatusAddresses = {platform::IpAddress::V4(0x7F000001)};
  return ReadBindAddresses(ini, "Status", options.StatusAddresses);
}

std::string ReadBindAddresses(const TIniFile& ini, const char* section, std::vector<platform::IpAddress>& addresses) {
  const std::string value = ini.ReadString(section, "BindAddress", "");
  if (value.empty()) return {};
  std::vector<platform::IpAddress> parsed;
  for (std::size_t at = 0;;) {
    const std::size_t end = std::min(value.find(';', at), value.size());
    const std::string entry = value.substr(at, end - at);
    const std::size_t first = entry.find_first_not_of(" \t");
    platform::IpAddress address;
    if (first == std::string::npos ||
        !platform::IpAddress::Parse(entry.substr(first, entry.find_last_not_of(" \t") - first + 1), address))
      return "[" + std::string(section) + "] BindAddress=" + value + " is not a list of IPv4 or IPv6 addresses";
    parsed.push_back(address);
    if (end == value.size()) break;
    at = end + 1;
  }
  addresses = std::move(parsed);
  return {};
}

std::string CheckPort(const TIniFile& ini, const char* section, std::int32_t port) {
  if (port >= 0 && port <= 65535) return {};
  return "[" + std::string(section) + "] Port=" + ini.ReadString(section, "Port", "") + " is outside 0-65535";
}

std::string ApplyProxyFrom(const std::string& proxyFrom, TProxySources& sources) {
  // A typo must not leave the balancer's connections failing unexplained,
  // nor trust an address the operator did not mean.
  if (sources.Parse(proxyFrom)) return {};
  sources.Parse("");
  return "[Server] ProxyFrom=" + proxyFrom + " is malformed";
}
