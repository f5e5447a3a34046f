#pragma once
// The socket address that bind and connect take, and the address that
// getpeername gives, of either family.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "platform/IpAddress.h"

namespace platform {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// An IPv4 address as an IPv4 socket address (for an IPv4 socket), an IPv6
// one as an IPv6 socket address.
inline SocketAddress ToSocketAddress(const IpAddress& address, int port) {
  SocketAddress sa;
  if (address.IsV4()) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa.storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(address.V4Value());
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    sa.length = sizeof *v4;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa.storage);
    v6->sin6_family = AF_INET6;
    std::memcpy(&v6->sin6_addr, address.V6Bytes().data(), 16);
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    sa.length = sizeof *v6;
  }
  return sa;
}

// False for a family that is neither.
inline bool FromSocketAddress(const sockaddr_storage& storage, IpAddress& address, int* port = nullptr) {
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    address = IpAddress::V4(ntohl(v4->sin_addr.s_addr));
    if (port != nullptr) *port = ntohs(v4->sin_port);
    return true;
  }
  if (storage.ss_family != AF_INET6) return false;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  IpAddress::Bytes bytes{};
  std::memcpy(bytes.data(), &v6->sin6_addr, 16);
  address = IpAddress::V6(bytes);
  if (port != nullptr) *port = ntohs(v6->sin6_port);
  return true;
}

}  // namespace platform
