#include "platform/Resolve.h"

#include <netdb.h>

#include "platform/posix/SocketAddress.h"

namespace platform {

bool ResolveHost(const std::string& host, std::vector<IpAddress>& addresses, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return false;
  }
  addresses.clear();
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    sockaddr_storage storage{};
    IpAddress address;
    if (a->ai_addrlen > sizeof storage) continue;
    std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
    if (FromSocketAddress(storage, address)) addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) error = "no IPv4 or IPv6 address";
  return !addresses.empty();
}

}  // namespace platform
