#include "service/FleetOptions.h"

#include <algorithm>

#include "platform/Sockets.h"

TFleetOptions ReadFleetOptions(const TIniFile& ini) {
  TFleetOptions options;
  options.ProxyFrom = ini.ReadString("Server", "ProxyFrom", "");
  options.DrainSeconds = std::max(0, ini.ReadInteger("Server", "DrainSeconds", 0));
  const std::int32_t port = ini.ReadInteger("Status", "Port", 0);
  options.StatusPort = port > 0 && port <= 65535 ? port : 0;
  if (!platform::NetParseAddress(ini.ReadString("Status", "BindAddress", "127.0.0.1"), options.StatusAddress))
    options.StatusAddress = 0x7F000001;
  return options;
}

std::string ApplyProxyFrom(const std::string& proxyFrom, TProxySources& sources) {
  // A typo must not leave the balancer's connections failing unexplained,
  // nor trust an address the operator did not mean.
  if (sources.Parse(proxyFrom)) return {};
  sources.Parse("");
  return "[Server] ProxyFrom=" + proxyFrom + " is malformed";
}
