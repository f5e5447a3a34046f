#include "service/FirewallRule.h"

namespace {
constexpr long kProtocolTcp = 6;
constexpr long kProfilesPrivateAndPublic = 6;  // not the domain profile
constexpr long kActionAllow = 1;
}  // namespace

void AddFirewallRule(platform::Firewall& firewall, const std::string& name, const std::string& applicationPath) {
  using platform::FirewallProperty;
  firewall.AddRule({
      {FirewallProperty::kName, name},
      {FirewallProperty::kDescription, name},
      {FirewallProperty::kApplicationName, applicationPath},
      {FirewallProperty::kProtocol, {}, kProtocolTcp},
      {FirewallProperty::kEnabled, {}, 1},
      {FirewallProperty::kProfiles, {}, kProfilesPrivateAndPublic},
      {FirewallProperty::kAction, {}, kActionAllow},
  });
}

void RemoveFirewallRule(platform::Firewall& firewall, const std::string& name) { firewall.RemoveRule(name); }
