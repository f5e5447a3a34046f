#include "service/FleetOptions.h"

#include <algorithm>

#include "platform/Sockets.h"

std::string ReadFleetOptions(const TIniFile& ini, TFleetOptions& options) {
  options.ProxyFrom = ini.ReadString("Server", "ProxyFrom", "");
  options.DrainSeconds = std::max(0, ini.ReadInteger("Server", "DrainSeconds", 0));
  options.StatusPort = ini.ReadInteger("Status", "Port", 0);
  options.StatusToken = ini.ReadString("Status", "Token", "");
  std::string refusal = CheckPort(ini, "Status", options.StatusPort);
  if (!refusal.empty()) return refusal;
  // A typo must not leave the balancer's health checks failing unexplained
  // on an address the operator did not choose.
  const std::string address = ini.ReadString("Status", "BindAddress", "");
  options.StatusAddress = 0x7F000001;
  if (!address.empty() && !platform::NetParseAddress(address, options.StatusAddress))
    return "[Status] BindAddress=" + address + " is not an IPv4 address";
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
