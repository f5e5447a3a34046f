#pragma once
// The load balancers whose connections start with a PROXY header: IPv4
// addresses and prefixes from [Server] ProxyFrom. Only these are trusted to
// name the client; from any other address a PROXY header is just bytes.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TProxySources {
 public:
  // "10.0.0.5;10.1.0.0/16", blanks around entries ignored; empty is none.
  // False, leaving the list as it was, when any entry is malformed.
  bool Parse(const std::string& text);
  bool Empty() const { return FRanges.empty(); }
  // `address` in dotted text, as the socket layer gives the peer.
  bool Contains(const std::string& address) const;

 private:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> FRanges;  // network, mask
};
