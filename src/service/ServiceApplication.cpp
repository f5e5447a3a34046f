#include "service/ServiceApplication.h"

#include <exception>

#include "base/Text.h"
#include "platform/Paths.h"
#include "platform/ThreadMessages.h"
#include "service/CommandLine.h"
#include "service/ServiceStartThread.h"
#include "service/SystemError.h"

namespace {

std::string FileName(const std::string& path) { return path.substr(platform::DirectoryPart(path).size()); }

std::string WithoutExtension(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

TServiceApplication::TServiceApplication(const THostPlatform& platform, std::string executablePath)
    : FPlatform(platform),
      FExecutablePath(std::move(executablePath)),
      FTitle(WithoutExtension(FileName(FExecutablePath))),
      FHostSource(FileName(FExecutablePath)),
      FEventLogger(FHostSource, platform.EventLog) {}

TServiceApplication::~TServiceApplication() {
  for (auto& service : FServices) {
    try {
      if (service->OnDestroy) service->OnDestroy(*service);
    } catch (...) {
      FEventLogger.Log(TEventId::HostFailed, {ExceptionMessage(std::current_exception())});
    }
  }
}

void TServiceApplication::AddService(std::unique_ptr<TService> service) {
  FServices.push_back(std::move(service));
  TService& added = *FServices.back();
  if (added.OnCreate) added.OnCreate(added);
}

int TServiceApplication::Run(const std::vector<std::string>& arguments) {
  const TCommandLine line = ParseCommandLine(arguments);
  if (!line.Install && !line.Uninstall && !line.Configure && !line.Unconfigure && !line.Stop)
    return RunServices(line.Console ? FPlatform.ConsoleDispatcher : FPlatform.Dispatcher);
  try {
    return RegisterServices(line) ? 0 : 1;
  } catch (...) {
    FPlatform.Messages.Show(platform::MessageKind::kError, "Application Error",
                            ExceptionMessage(std::current_exception()));
    return 1;
  }
}

int TServiceApplication::RunServices(platform::ServiceDispatcher& dispatcher) {
  // The main thread's queue exists before the dispatcher can post to it.
  platform::CreateMessageQueue();
  std::vector<std::string> names;
  for (const auto& service : FServices) names.push_back(service->Name());
  TServiceStartThread starter(
      dispatcher, names,
      [this, &dispatcher](const std::vector<std::string>& arguments) { ServiceMain(dispatcher, arguments); },
      platform::CurrentThreadId());
  try {
    starter.Resume();
  } catch (...) {
    FEventLogger.Log(TEventId::HostFailed, {ExceptionMessage(std::current_exception())});
    return 1;
  }
  // Until the dispatcher returns, or a stop handler quits this thread.
  platform::ThreadMessage message;
  while (platform::TakeMessage(message, true) && message.message != platform::kQuitMessage) {
  }
  // The dispatcher's outcome is known only once its thread has ended.
  starter.WaitFor();
  if (starter.Result().code != 0) {
    FEventLogger.Log(TEventId::HostFailed, {starter.Result().text});
    return 1;
  }
  for (const auto& service : FServices)
    if (!service->WasRunning()) return 1;
  return 0;
}

void TServiceApplication::ServiceMain(platform::ServiceDispatcher& dispatcher,
                                      const std::vector<std::string>& arguments) {
  TService* service = arguments.empty() ? nullptr : FindService(arguments.front());
  if (service) service->Main(arguments, dispatcher, RegisteredType(*service));
}

TService* TServiceApplication::FindService(const std::string& name) const {
  for (const auto& service : FServices)
    if (EqualsIgnoringAsciiCase(service->Name(), name)) return service.get();
  return nullptr;
}

std::uint32_t TServiceApplication::RegisteredType(const TService& service) const {
  return service.NTServiceType(FServices.size() > 1);
}
