#pragma once
// Host names to addresses, for the command-line client.

#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace platform {

// The IPv4 and IPv6 addresses of `host` (a name, dotted IPv4 or IPv6 text),
// in the resolver's order, which puts the ones to try first first. False
// with the resolver's text in `error` when there is none.
bool ResolveHost(const std::string& host, std::vector<IpAddress>& addresses, std::string& error);

}  // namespace platform
