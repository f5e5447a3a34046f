#include "service/CommandLine.h"

#include "base/Text.h"

bool IsSwitch(const std::string& argument, const std::string& name) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/') &&
         EqualsIgnoringAsciiCase(argument.substr(1), name);
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
