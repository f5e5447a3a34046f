// Program entry: one executable is the service and its own installer.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Firewall.h"
#include "platform/Paths.h"
#include "platform/ServiceManager.h"
#include "platform/UserMessages.h"
#include "service/ForegroundDispatcher.h"
#include "service/ServiceApplication.h"
#include "service/svcMain.h"

int main(int argc, char** argv) {
  // Before any other thread exists: the stop request of a foreground run.
  TForegroundDispatcher foreground;
  platform::InitializeAutomation();

  platform::ServiceDispatcher* manager = platform::SystemServiceDispatcher();
  const THostPlatform host{platform::SystemServiceInstaller(), manager ? *manager : foreground, foreground,
                           platform::SystemEventLog(), platform::SystemUserMessages()};
  int exitCode = 0;
  {
    TServiceApplication application(host, platform::ExecutablePath());
    auto service = std::make_unique<TVardexServerService>(platform::SystemEventLog(), platform::SystemFirewall());
    application.AddService(std::move(service));
    exitCode = application.Run(std::vector<std::string>(argv + 1, argv + argc));
  }
  // Workers that are still serving a connection end with the process; the
  // process-wide objects they use are therefore never destroyed under them.
  std::fflush(nullptr);
  std::_Exit(exitCode);
}
