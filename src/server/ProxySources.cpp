#include "server/ProxySources.h"

// Empty entries are passed over, as they always were, so that a list that
// worked before still does.
bool TProxySources::Parse(const std::string& text) { return platform::IpPrefix::ParseList(text, true, FPrefixes); }

bool TProxySources::Contains(const std::string& address) const {
  return platform::IpPrefix::AnyContains(FPrefixes, address);
}
