#pragma once
// The dispatcher thread: connects the process to the service manager and
// stays in the platform's dispatcher until every service has stopped; then
// it tells the main thread to leave its message loop.

#include <string>
#include <vector>

#include "base/Thread.h"
#include "platform/ServiceManager.h"
#include "platform/ThreadMessages.h"

class TServiceStartThread : public TThread {
 public:
  TServiceStartThread(platform::ServiceDispatcher& dispatcher, std::vector<std::string> serviceNames,
                      platform::ServiceMainFunction serviceMain, platform::ThreadId mainThread);

  // The dispatcher's outcome; read after WaitFor.
  const platform::SystemFailure& Result() const { return FResult; }

 protected:
  void Execute() override;

 private:
  platform::ServiceDispatcher& FDispatcher;
  std::vector<std::string> FServiceNames;
  platform::ServiceMainFunction FServiceMain;
  platform::ThreadId FMainThread;
  platform::SystemFailure FResult;
};
