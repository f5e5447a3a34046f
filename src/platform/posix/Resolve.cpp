#include "platform/Resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {

bool ResolveIPv4(const std::string& host, std::vector<std::uint32_t>& addresses, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return false;
  }
  addresses.clear();
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next)
    addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr));
  ::freeaddrinfo(found);
  if (addresses.empty()) error = "no IPv4 address";
  return !addresses.empty();
}

}  // namespace platform
