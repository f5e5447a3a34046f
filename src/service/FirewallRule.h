#pragma once
// The firewall rule that opens the program to clients.

#include <string>

#include "platform/Firewall.h"

// An enabled allow rule for TCP in the private and public profiles, named
// and described `name`, for the program file `applicationPath`. No check is
// made for an existing rule of the same name. Throws on any failure.
void AddFirewallRule(platform::Firewall& firewall, const std::string& name, const std::string& applicationPath);
void RemoveFirewallRule(platform::Firewall& firewall, const std::string& name);
