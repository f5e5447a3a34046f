#pragma once
// The keys for running several instances behind a load balancer. Every one
// defaults to the behaviour of a single instance: no PROXY headers, no
// status port, a stop that does not wait.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

#include "server/ProxySources.h"
#include "service/IniFile.h"

struct TFleetOptions {
  std::string ProxyFrom;                // [Server] ProxyFrom, as written
  int DrainSeconds = 0;                 // [Server] DrainSeconds
  int StatusPort = 0;                   // [Status] Port; 0 is off
  // [Status] BindAddress; empty or missing is loopback.
  std::vector<platform::IpAddress> StatusAddresses{platform::IpAddress::V4(0x7F000001)};
  std::string StatusToken;              // [Status] Token; empty refuses every cut
};

// Malformed numbers take their defaults (a negative DrainSeconds too).
// Empty when the status listener's settings are usable; otherwise the reason
// the start fails, naming key and value: a [Status] Port outside 0-65535, or
// a [Status] BindAddress that ReadBindAddresses refuses (empty or missing
// is loopback).
std::string ReadFleetOptions(const TIniFile& ini, TFleetOptions& options);

// A port outside 0-65535 would be cut to 16 bits by the socket layer and
// listen where nobody chose. Empty when `port` fits; otherwise the reason
// the start fails, naming the key and its value as written.
std::string CheckPort(const TIniFile& ini, const char* section, std::int32_t port);

// The BindAddress of `section`: IPv4 or IPv6 addresses separated by ";",
// blanks around each ignored; empty or missing leaves `addresses` as they
// are. Empty when well formed; otherwise the reason the start fails, naming
// key and value: an entry that is no address, or an empty one (a stray ";"
// is a typo, not a wish to listen nowhere).
std::string ReadBindAddresses(const TIniFile& ini, const char* section, std::vector<platform::IpAddress>& addresses);

// Makes `proxyFrom` the list of trusted balancers in `sources`. Empty when
// it is well formed; otherwise the reason the start fails, naming key and
// value (the list is emptied then).
std::string ApplyProxyFrom(const std::string& proxyFrom, TProxySources& sources);
