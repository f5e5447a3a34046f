#pragma once
// The base of a service object: its definition as registered with the
// service manager, the handlers the host calls, and the status it reports.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/ServiceManager.h"
#include "service/EventLogger.h"

enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// The platform's values of the service states.
enum TCurrentStatus : std::uint32_t {
  csStopped = 1,
  csStartPending = 2,
  csStopPending = 3,
  csRunning = 4,
  csContinuePending = 5,
  csPausePending = 6,
  csPaused = 7,
};

// A service, or with IsGroup a load order group, that the service needs.
struct TDependency {
  std::string Name;
  bool IsGroup = false;
};

class TServiceThread;

class TService {
 public:
  using TNotifyEvent = std::function<void(TService& sender)>;
  using TFlagEvent = std::function<void(TService& sender, bool& flag)>;

  // `name` is the name registered with the service manager and the name of
  // the service's own event source.
  TService(std::string name, platform::EventLog& eventLog);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  // The definition.
  const std::string& Name() const { return FName; }
  std::string DisplayName() const { return FDisplayName.empty() ? FName : FDisplayName; }
  void SetDisplayName(std::string name) { FDisplayName = std::move(name); }
  // Interactive services run under the local system account: setting it
  // empties the account and password, and an account or password clears it.
  bool Interactive() const { return FInteractive; }
  void SetInteractive(bool interactive);
  const std::string& ServiceStartName() const { return FServiceStartName; }
  void SetServiceStartName(std::string name);
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string password);

  TServiceType ServiceType = TServiceType::stWin32;
  TStartType StartType = TStartType::stAuto;
  TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
  bool AllowStop = true;
  bool AllowPause = true;
  // Offers the manager's "parameters changed" control (SIGHUP under
  // systemd), which calls OnParamChange.
  bool AllowParamChange = false;
  std::uint32_t WaitHint = 5000;  // milliseconds
  std::string LoadGroup;
  std::uint32_t TagID = 0;
  std::vector<TDependency> Dependencies;
  std::vector<std::string> Params;  // the start arguments
  // What the service manager does when the process ends without a stop;
  // no restarts: nothing is set.
  platform::RecoveryActions Recovery;
  // An automatic start that waits until the system has started.
  bool DelayedStart = false;
  // The settings given to an installation ("/name=value", names in lower
  // case), for the service's AfterInstall.
  std::map<std::string, std::string> InstallSettings;

  // The platform's registration values. A stWin32 service of an executable
  // that holds several services shares its process.
  std::uint32_t NTServiceType(bool sharedProcess) const;
  std::uint32_t NTStartType() const;
  std::uint32_t NTErrorSeverity() const;
  // Each name followed by a zero byte, groups after a "+", then one more
  // zero byte; empty without dependencies.
  std::string DependencyList() const;

  // The events. A flag handler that leaves its flag false refuses the
  // request; an event without a handler accepts it.
  TNotifyEvent OnCreate, OnDestroy;
  TFlagEvent OnStart, OnStop, OnPause, OnContinue;
  TNotifyEvent OnExecute, OnShutdown, OnParamChange;
  TNotifyEvent BeforeInstall, AfterInstall, BeforeUninstall, AfterUninstall;

  // The service main: registers the control handler, runs the service
  // thread to its end and reports stopped. `serviceType` is the registered
  // type of the status records.
  void Main(const std::vector<std::string>& arguments, platform::ServiceDispatcher& dispatcher,
            std::uint32_t serviceType);
  // The control handler: passes the code to the service thread and returns.
  void Controller(std::uint32_t code);

  void ReportStatus(TCurrentStatus status);
  TCurrentStatus Status() const { return FStatus; }
  // True once the service has been reported running.
  bool WasRunning() const { return FWasRunning; }
  // The running service thread, for a handler that processes requests.
  TServiceThread* ServiceThread() const { return FServiceThread.get(); }

  // An entry of the service's own event source.
  void LogEvent(TEventId id, const std::vector<std::string>& strings = {});
  // "Service failed on <action>: <message>".
  void LogFailure(const char* action, std::exception_ptr error);

  // The handlers as the service thread calls them.
  bool DoStart();
  void DoExecute();
  bool DoStop();
  bool DoPause();
  bool DoContinue();
  void DoShutdown();
  void DoParamChange();
  // A control code the host does not know; nothing by default.
  virtual void DoCustomControl(std::uint32_t code);

 private:
  static bool CallFlagEvent(const TFlagEvent& event, TService& sender);

  std::string FName;
  std::string FDisplayName;
  bool FInteractive = false;
  std::string FServiceStartName;
  std::string FPassword;

  TEventLogger FEventLogger;
  platform::ServiceDispatcher* FDispatcher = nullptr;
  platform::ServiceHandle FStatusHandle = platform::kNoServiceHandle;
  std::uint32_t FReportedType = 0;
  TCurrentStatus FStatus = csStopped;
  TCurrentStatus FLastStatus = csStartPending;  // the state before the first report
  std::uint32_t FCheckPoint = 0;
  bool FWasRunning = false;
  std::unique_ptr<TServiceThread> FServiceThread;
  // Held by Main for its whole run: the platform's thread may still be
  // leaving Main when the dispatcher has already returned.
  std::mutex FMainRunning;
};
