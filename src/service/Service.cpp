#include "service/Service.h"

#include "service/ServiceThread.h"
#include "base/Format.h"
#include "service/SystemError.h"

namespace {

constexpr std::uint32_t kOwnProcess = 0x10;
constexpr std::uint32_t kShareProcess = 0x20;
constexpr std::uint32_t kInteractiveProcess = 0x100;
constexpr std::uint32_t kKernelDriver = 0x1;
constexpr std::uint32_t kFileSystemDriver = 0x2;

constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptPauseContinue = 2;
constexpr std::uint32_t kAcceptShutdown = 4;
constexpr std::uint32_t kAcceptParamChange = 8;

bool IsPending(TCurrentStatus status) {
  return status == csStartPending || status == csStopPending || status == csContinuePending ||
         status == csPausePending;
}

}  // namespace

TService::TService(std::string name, platform::EventLog& eventLog)
    : FName(std::move(name)), FEventLogger(FName, eventLog) {}

TService::~TService() { std::lock_guard<std::mutex> wait(FMainRunning); }

void TService::SetInteractive(bool interactive) {
  FInteractive = interactive;
  if (!interactive) return;
  FServiceStartName.clear();
  FPassword.clear();
}

void TService::SetServiceStartName(std::string name) {
  FServiceStartName = std::move(name);
  if (!FServiceStartName.empty()) FInteractive = false;
}

void TService::SetPassword(std::string password) {
  FPassword = std::move(password);
  if (!FPassword.empty()) FInteractive = false;
}

std::uint32_t TService::NTServiceType(bool sharedProcess) const {
  switch (ServiceType) {
    case TServiceType::stDevice: return kKernelDriver;
    case TServiceType::stFileSystem: return kFileSystemDriver;
    case TServiceType::stWin32: break;
  }
  return (sharedProcess ? kShareProcess : kOwnProcess) | (FInteractive ? kInteractiveProcess : 0);
}

std::uint32_t TService::NTStartType() const {
  // Only drivers are started by the boot loader or the kernel.
  const bool bootOrSystem = StartType == TStartType::stBoot || StartType == TStartType::stSystem;
  if (bootOrSystem && ServiceType != TServiceType::stDevice) return static_cast<std::uint32_t>(TStartType::stAuto);
  return static_cast<std::uint32_t>(StartType);
}

std::uint32_t TService::NTErrorSeverity() const { return static_cast<std::uint32_t>(ErrorSeverity); }

std::string TService::DependencyList() const {
  if (Dependencies.empty()) return {};
  std::string list;
  for (const TDependency& dependency : Dependencies) {
    if (dependency.IsGroup) list += '+';
    list += dependency.Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

void TService::Main(const std::vector<std::string>& arguments, platform::ServiceDispatcher& dispatcher,
                    std::uint32_t serviceType) {
  std::lock_guard<std::mutex> running(FMainRunning);
  Params = arguments;
  FDispatcher = &dispatcher;
  FReportedType = serviceType;
  // Made before the handler exists, so that the handler always finds it; it
  // lives as long as the service object, because the platform may call the
  // handler even after the stopped report.
  FServiceThread = std::make_unique<TServiceThread>(*this);
  FStatusHandle = dispatcher.RegisterControlHandler(FName, [this](std::uint32_t code) { Controller(code); });
  if (FStatusHandle == platform::kNoServiceHandle) {
    LogEvent(TEventId::ServiceManagerFailed, {dispatcher.LastFailure().text});
    return;
  }
  try {
    ReportStatus(csStartPending);
    FServiceThread->Resume();
    FServiceThread->WaitFor();
  } catch (...) {
    LogFailure("execute", std::current_exception());
  }
  ReportStatus(csStopped);
}

void TService::Controller(std::uint32_t code) {
  if (FServiceThread) FServiceThread->PostControl(code);
}

void TService::ReportStatus(TCurrentStatus status) {
  FStatus = status;
  FCheckPoint = IsPending(status) && status == FLastStatus ? FCheckPoint + 1 : 0;
  FLastStatus = status;
  if (status == csRunning) FWasRunning = true;

  platform::ServiceStatus record;
  record.serviceType = FReportedType;
  record.currentState = status;
  record.controlsAccepted = status == csStartPending ? 0
                                                     : kAcceptShutdown | (AllowStop ? kAcceptStop : 0) |
                                                           (AllowPause ? kAcceptPauseContinue : 0) |
                                                           (AllowParamChange ? kAcceptParamChange : 0);
  record.checkPoint = FCheckPoint;
  record.waitHint = WaitHint;
  if (!FDispatcher->SetStatus(FStatusHandle, record))
    LogEvent(TEventId::ServiceManagerFailed, {FDispatcher->LastFailure().text});
}

void TService::LogEvent(TEventId id, const std::vector<std::string>& strings) { FEventLogger.Log(id, strings); }

void TService::LogFailure(const char* action, std::exception_ptr error) {
  LogEvent(TEventId::HandlerFailed, {action, ExceptionMessage(error)});
}

bool TService::CallFlagEvent(const TFlagEvent& event, TService& sender) {
  bool flag = true;
  if (event) event(sender, flag);
  return flag;
}

bool TService::DoStart() { return CallFlagEvent(OnStart, *this); }

void TService::DoExecute() {
  if (OnExecute)
    OnExecute(*this);
  else
    FServiceThread->ProcessRequests(true);
}

bool TService::DoStop() { return CallFlagEvent(OnStop, *this); }
bool TService::DoPause() { return CallFlagEvent(OnPause, *this); }
bool TService::DoContinue() { return CallFlagEvent(OnContinue, *this); }

void TService::DoShutdown() {
  if (OnShutdown) OnShutdown(*this);
}

void TService::DoParamChange() {
  if (OnParamChange) OnParamChange(*this);
}

void TService::DoCustomControl(std::uint32_t) {}
