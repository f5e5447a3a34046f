#pragma once
// The switches of the command line: a parameter that starts with "-" or "/"
// followed by the switch name in any case, in any position; a setting is a
// switch followed by "=" and its value.

#include <map>
#include <string>
#include <vector>

struct TCommandLine {
  bool Install = false;    // "install": register the services, then end
  bool Uninstall = false;  // "uninstall": remove them (install wins when both are given)
  // "configure": the steps of "install" after the registration, for
  // services another installer has registered; "unconfigure" undoes them
  // before that installer removes the services.
  bool Configure = false;
  bool Unconfigure = false;
  // "stop": stop the installed services and wait for their processes to end
  // (what "unconfigure" does first), for installers replacing the program.
  bool Stop = false;
  bool Silent = false;     // "silent": no message on success
  bool Console = false;    // "console": run the services in the foreground of the console
  bool Delayed = false;    // "delayed": an automatic start waits until the system has started
  // "account": run as the service's own virtual account; "account=NAME":
  // as NAME. Empty: the local system account.
  std::string Account;
  bool VirtualAccount = false;
  // The other settings, by switch name in lower case.
  std::map<std::string, std::string> Settings;
};

// `arguments` without the program name.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

bool IsSwitch(const std::string& argument, const std::string& name);
