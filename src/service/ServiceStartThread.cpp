#include "service/ServiceStartThread.h"

#include <exception>

#include "service/SystemError.h"

TServiceStartThread::TServiceStartThread(platform::ServiceDispatcher& dispatcher,
                                         std::vector<std::string> serviceNames,
                                         platform::ServiceMainFunction serviceMain, platform::ThreadId mainThread)
    : FDispatcher(dispatcher),
      FServiceNames(std::move(serviceNames)),
      FServiceMain(std::move(serviceMain)),
      FMainThread(mainThread) {}

void TServiceStartThread::Execute() {
  try {
    FResult = FDispatcher.Run(FServiceNames, FServiceMain);
  } catch (...) {
    FResult = {-1, ExceptionMessage(std::current_exception())};
  }
  // The main thread waits in its message loop until this arrives.
  platform::PostMessageToThread(FMainThread, platform::kQuitMessage, 0, 0);
}
