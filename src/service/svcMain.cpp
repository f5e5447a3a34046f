#include "service/svcMain.h"

#include <exception>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ProgramDirectory.h"
#include "platform/ResolvedPaths.h"
#include "platform/Sockets.h"
#include "server/Confinement.h"
#include "server/Metrics.h"
#include "service/Drain.h"
#include "service/FirewallRule.h"
#include "service/ServiceThread.h"
#include "transfer/SocketLib.h"

namespace {
const char kFirewallRuleName[] = "VardexServer";
// The rule always names this file beside the executable, whatever the
// running executable is called.
const char kProgramFileName[] = "VardexServer.exe";
}  // namespace

std::string ProgramDirectory() {
  const std::string path = platform::ExecutablePath();
  return path.empty() ? std::string(platform::kFallbackDirectory) : platform::DirectoryPart(path);
}

TVardexServerService::TVardexServerService(platform::EventLog& eventLog, platform::Firewall& firewall,
                                           std::string directory)
    : TService("VardexServerService", eventLog), FFirewall(firewall), FDirectory(std::move(directory)) {
  auto config = std::make_shared<TServerConfig>();
  config->LogPath = FDirectory + "Log" + platform::kPathDelimiter + "FileServer";
  FConfig = std::move(config);
  SetDisplayName("VardexServer");
  SetInteractive(true);
  // Each stop-pending report during a drain gives the stop this long again
  // (a new checkpoint on Windows, a longer stop time-out under systemd).
  WaitHint = 60000;
  AllowStop = true;
  StartType = TStartType::stAuto;
  ErrorSeverity = TErrorSeverity::esNormal;
  ServiceType = TServiceType::stWin32;

  OnCreate = [this](TService& s) { ServiceCreate(s); };
  OnDestroy = [this](TService& s) { ServiceDestroy(s); };
  OnStart = [this](TService& s, bool& started) { ServiceStart(s, started); };
  OnExecute = [this](TService& s) { ServiceExecute(s); };
  OnStop = [this](TService& s, bool& stopped) { ServiceStop(s, stopped); };
  OnShutdown = [this](TService& s) { ServiceShutdown(s); };
  OnPause = [this](TService& s, bool& paused) { ServicePause(s, paused); };
  OnContinue = [this](TService& s, bool& continued) { ServiceContinue(s, continued); };
  AfterInstall = [this](TService& s) { ServiceAfterInstall(s); };
  BeforeUninstall = [this](TService& s) { ServiceBeforeUninstall(s); };
}

TVardexServerService::~TVardexServerService() { SetLogFailureReport(nullptr); }

void TVardexServerService::ServiceCreate(TService&) {
  // A failure shows later, when the listener cannot create its socket.
  std::string ignored;
  SockStartup(ignored);
  // Pause and continue are never offered to the service manager.
  AllowPause = false;
}

void TVardexServerService::ServiceDestroy(TService&) { SockCleanup(); }

void TVardexServerService::ServiceStart(TService& sender, bool& started) {
  // Workers may log while the process ends, after this object is gone; the
  // destructor clears the report first.
  SetLogFailureReport([this](const std::string& message) { LogMessage(message); });

  started = false;
  std::string refusal;
  if (!ReadConfig(FDirectory + "VardexServer.ini", refusal)) {
    StartFailed(sender, refusal);
    return;
  }
  try {
    if (FFleetOptions.StatusPort > 0)
      FStatusListener =
          std::make_unique<TStatusListener>(FFleetOptions.StatusAddress, FFleetOptions.StatusPort, FConfig->LogPath);
    FListenThread = std::make_unique<TListenThread>(FConfig);
  } catch (const std::exception& e) {
    FStatusListener.reset();
    StartFailed(sender, Format("%s.", e.what()));
    return;
  }
  FListenThread->Resume();
  if (FStatusListener) {
    FStatusListener->CountWorkers(FListenThread->Workers());
    FStatusListener->Resume();
  }
  WriteLog(FConfig->LogPath, "Service Start Success");
  started = true;
}

void TVardexServerService::StartFailed(TService& sender, const std::string& reason) {
  const std::string line = "Service Start Fail: " + reason;
  WriteLog(FConfig->LogPath, line);
  sender.LogMessage(line);
}

bool TVardexServerService::ReadConfig(const std::string& fileName, std::string& refusal) {
  const TIniFile ini(fileName);
  auto config = std::make_shared<TServerConfig>();
  config->LogPath = FConfig->LogPath;
  config->Port = ini.ReadInteger("Server", "Port", 80);
  config->Listen.MaxConnections = ini.ReadInteger("Server", "MaxConnections", 0);
  // Negative is no setting at all; beyond a day is never in practice, and
  // far beyond it overflows the platform's millisecond time-outs.
  const int idle = ini.ReadInteger("Server", "IdleTimeout", 300);
  config->Listen.IdleTimeout = idle < 0 ? 300 : idle > kMaxIdleTimeout ? kMaxIdleTimeout : idle;
  config->ReportHost = ini.ReadString("Report", "Host", "");
  FFleetOptions = {};
  const bool accepted = ReadFailClosedSettings(ini, *config, refusal);
  FConfig = std::move(config);
  return accepted;
}

bool TVardexServerService::ReadFailClosedSettings(const TIniFile& ini, TServerConfig& config, std::string& refusal) {
  refusal = CheckPort(ini, "Server", config.Port);
  if (refusal.empty()) refusal = ReadFleetOptions(ini, FFleetOptions);
  if (!refusal.empty()) return false;
  const std::string address = ini.ReadString("Server", "BindAddress", "");
  if (!address.empty() && !platform::NetParseAddress(address, config.Listen.BindAddress)) {
    refusal = "[Server] BindAddress=" + address + " is not an IPv4 address";
    return false;
  }
  const std::string roots = ini.ReadString("Server", "Root", "");
  const std::vector<std::string> entries = SplitRoots(roots);
  if (!roots.empty() && entries.empty()) {
    refusal = "[Server] Root=" + roots + " has no usable entry";
    return false;
  }
  for (const std::string& root : entries) {
    std::string resolved;
    if (!platform::ResolvePath(root, resolved) || !platform::IsDirectory(resolved)) {
      refusal = "[Server] Root entry " + root + " is not an existing directory";
      return false;
    }
  }
  config.Roots = entries;
  refusal = ApplyProxyFrom(FFleetOptions.ProxyFrom, config.ProxyFrom);
  return refusal.empty();
}

void TVardexServerService::ServiceExecute(TService&) {
  while (!ServiceThread()->Terminated()) ServiceThread()->ProcessRequests(true);
}

void TVardexServerService::ServiceStop(TService&, bool& stopped) {
  StopListener(FFleetOptions.DrainSeconds);
  stopped = true;
}

void TVardexServerService::ServiceShutdown(TService&) { StopListener(0); }

void TVardexServerService::StopListener(int drainSeconds) {
  QuitOtherThreads();
  // The balancer's health check sees the stop before the port closes.
  Metrics().Accepting = false;
  // Workers still serving a connection are not told; only a drain awaits
  // them, in the set they share, which outlives the listener.
  if (FListenThread) {
    const std::shared_ptr<const TWorkerSet> workers = FListenThread->Workers();
    FListenThread->Stop();
    FListenThread->WaitFor();
    FListenThread.reset();
    DrainTransfers(FConfig->LogPath, drainSeconds, *workers, [this] { ReportStatus(csStopPending); });
  }
  if (FStatusListener) {
    FStatusListener->Stop();
    FStatusListener.reset();
  }
  WriteLog(FConfig->LogPath, "Service Stoped");
}

int TVardexServerService::ListeningPort() const { return FListenThread ? FListenThread->Port() : -1; }

void TVardexServerService::ServicePause(TService&, bool& paused) { paused = false; }
void TVardexServerService::ServiceContinue(TService&, bool& continued) { continued = false; }

void TVardexServerService::ServiceAfterInstall(TService&) {
  AddFirewallRule(FFirewall, kFirewallRuleName, FDirectory + kProgramFileName);
}

void TVardexServerService::ServiceBeforeUninstall(TService&) { RemoveFirewallRule(FFirewall, kFirewallRuleName); }
