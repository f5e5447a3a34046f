#pragma once
// The load balancers whose connections start with a PROXY header: IPv4 and
// IPv6 addresses and prefixes from [Server] ProxyFrom. Only these are trusted
// to name the client; from any other address a PROXY header is just bytes.

#include <string>
#include <vector>

#include "platform/IpAddress.h"

class TProxySources {
 public:
  // "10.0.0.5;10.1.0.0/16;2001:db8::/32", blanks around entries ignored;
  // empty is none. False, leaving the list as it was, when any entry is
  // malformed.
  bool Parse(const std::string& text);
  bool Empty() const { return FPrefixes.empty(); }
  // `address` in the text the socket layer gives the peer.
  bool Contains(const std::string& address) const;

 private:
  std::vector<platform::IpPrefix> FPrefixes;
};
