#pragma once
// The IPv4 socket address that bind and connect take.

#include <winsock2.h>

#include <cstdint>

namespace platform {

// `address` in host order.
inline sockaddr_in Ipv4SocketAddress(std::uint32_t address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(static_cast<u_short>(port));
  return sa;
}

}  // namespace platform
