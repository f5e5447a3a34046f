#pragma once
// Host names to IPv4 addresses, for the command-line client. The server
// listens on IPv4 only, so only IPv4 addresses are asked for.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The IPv4 addresses of `host` (a name or dotted text), in host byte order
// and in the resolver's order. False with the resolver's text in `error`
// when there is none.
bool ResolveIPv4(const std::string& host, std::vector<std::uint32_t>& addresses, std::string& error);

}  // namespace platform
