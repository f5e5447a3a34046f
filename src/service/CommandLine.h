#pragma once
// The switches of the command line: a parameter that starts with "-" or "/"
// followed by the switch name in any case, in any position.

#include <string>
#include <vector>

struct TCommandLine {
  bool Install = false;    // "install": register the services, then end
  bool Uninstall = false;  // "uninstall": remove them (install wins when both are given)
  bool Silent = false;     // "silent": no message on success
  bool Console = false;    // "console": run the services in the foreground of the console
};

// `arguments` without the program name.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

bool IsSwitch(const std::string& argument, const std::string& name);
