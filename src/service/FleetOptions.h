#pragma once
// The keys for running several instances behind a load balancer. Every one
// defaults to the behaviour of a single instance: no PROXY headers, no
// status port, a stop that does not wait.

#include <cstdint>
#include <string>

#include "server/ProxySources.h"
#include "service/IniFile.h"

struct TFleetOptions {
  std::string ProxyFrom;                // [Server] ProxyFrom, as written
  int DrainSeconds = 0;                 // [Server] DrainSeconds
  int StatusPort = 0;                   // [Status] Port; 0 is off
  std::uint32_t StatusAddress = 0x7F000001;  // [Status] BindAddress, host order
};

// Malformed numbers take their defaults (negative ones too); a malformed
// [Status] BindAddress keeps loopback, which never widens access.
TFleetOptions ReadFleetOptions(const TIniFile& ini);

// Makes `proxyFrom` the list of trusted balancers in `sources`. Empty when
// it is well formed; otherwise the reason the start fails, naming key and
// value (the list is emptied then).
std::string ApplyProxyFrom(const std::string& proxyFrom, TProxySources& sources);
