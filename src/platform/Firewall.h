#pragma once
// Application rules of the system's firewall (Windows Firewall through its
// automation objects). POSIX has no standard firewall interface: there the
// rules are accepted and nothing changes.

#include <string>
#include <vector>

namespace platform {

enum class FirewallProperty { kName, kDescription, kApplicationName, kProtocol, kEnabled, kProfiles, kAction };

// One property of a new rule: `text` for the names and the path, `number`
// for the others (Enabled: 0 or 1).
struct FirewallSetting {
  FirewallProperty property;
  std::string text;
  long number = 0;
};

class Firewall {
 public:
  virtual ~Firewall() = default;
  // Opens the policy ("HNetCfg.FwPolicy2") and its rule collection, creates
  // a rule ("HNetCfg.FWRule"), sets `settings` on it in their order and adds
  // it. Throws std::runtime_error: "<error text>, ProgID: \"<id>\"" when an
  // object cannot be created, the platform's text when a call fails.
  virtual void AddRule(const std::vector<FirewallSetting>& settings) = 0;
  // Removes the rule of that name from the policy's collection; throws as
  // AddRule.
  virtual void RemoveRule(const std::string& name) = 0;
};

Firewall& SystemFirewall();

// Prepares the calling thread for the firewall's automation objects (the
// component object model on Windows). Once, at program start.
void InitializeAutomation();

}  // namespace platform
