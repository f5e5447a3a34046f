#include "service/CommandLine.h"

#include <cctype>

bool IsSwitch(const std::string& argument, const std::string& name) {
  if (argument.size() != name.size() + 1 || (argument[0] != '-' && argument[0] != '/')) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(argument[i + 1])) != std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine line;
  for (const std::string& argument : arguments) {
    line.Install |= IsSwitch(argument, "install");
    line.Uninstall |= IsSwitch(argument, "uninstall");
    line.Silent |= IsSwitch(argument, "silent");
    line.Console |= IsSwitch(argument, "console");
  }
  return line;
}
