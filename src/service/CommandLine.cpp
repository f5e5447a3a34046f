#include "service/CommandLine.h"

#include "base/Text.h"

bool IsSwitch(const std::string& argument, const std::string& name) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/') &&
         EqualsIgnoringAsciiCase(argument.substr(1), name);
}

namespace {

// "/name=value": true with the name in lower case and the value.
bool IsSetting(const std::string& argument, std::string& name, std::string& value) {
  const std::size_t equals = argument.find('=');
  if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/') || equals == std::string::npos ||
      equals < 2)
    return false;
  name = argument.substr(1, equals - 1);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  value = argument.substr(equals + 1);
  return true;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine line;
  for (const std::string& argument : arguments) {
    line.Install |= IsSwitch(argument, "install");
    line.Uninstall |= IsSwitch(argument, "uninstall");
    line.Configure |= IsSwitch(argument, "configure");
    line.Unconfigure |= IsSwitch(argument, "unconfigure");
    line.Stop |= IsSwitch(argument, "stop");
    line.Silent |= IsSwitch(argument, "silent");
    line.Console |= IsSwitch(argument, "console");
    line.Delayed |= IsSwitch(argument, "delayed");
    line.VirtualAccount |= IsSwitch(argument, "account");
    std::string name, value;
    if (!IsSetting(argument, name, value)) continue;
    if (name == "account")
      line.Account = value;
    else
      line.Settings[name] = value;
  }
  return line;
}
