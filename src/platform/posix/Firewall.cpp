#include "platform/Firewall.h"

namespace platform {
namespace {

// A Linux host has no standard firewall interface; the program's port is
// opened by the operator's own firewall set-up.
class NoFirewall : public Firewall {
 public:
  void AddRule(const std::vector<FirewallSetting>&) override {}
  void RemoveRule(const std::string&) override {}
};

}  // namespace

Firewall& SystemFirewall() {
  static NoFirewall firewall;
  return firewall;
}

void InitializeAutomation() {}

}  // namespace platform
