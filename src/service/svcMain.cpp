#include "service/svcMain.h"

#include <exception>

#include "platform/Paths.h"
#include "platform/ProgramDirectory.h"
#include "platform/Sockets.h"
#include "server/Confinement.h"
#include "server/Reports.h"
#include "service/Drain.h"
#include "service/FirewallRule.h"
#include "service/IniFile.h"
#include "service/ServiceThread.h"
#include "transfer/Metrics.h"
#include "transfer/SocketLib.h"
#include "transfer/uGlobal.h"

std::unique_ptr<TListenThread> ListenThread;
TVardexServerService* VardexServerService = nullptr;

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

TVardexServerService::TVardexServerService(platform::EventLog& eventLog, platform::Firewall& firewall)
    : TService("VardexServerService", eventLog), FFirewall(firewall) {
  SetDisplayName("VardexServer");
  SetInteractive(true);
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

void TVardexServerService::ServiceCreate(TService&) {
  // A failure shows later, when the listener cannot create its socket.
  std::string ignored;
  SockStartup(ignored);
  // Pause and continue are never offered to the service manager.
  AllowPause = false;
}

void TVardexServerService::ServiceDestroy(TService&) { SockCleanup(); }

void TVardexServerService::ServiceStart(TService&, bool& started) {
  const std::string directory = ProgramDirectory();
  LogPath = directory + "Log" + platform::kPathDelimiter + "FileServer";
  ReadConfig(directory + "VardexServer.ini");

  started = false;
  const std::string proxyError = ApplyProxyFrom(FFleetOptions.ProxyFrom);
  if (!proxyError.empty()) {
    WriteLog(LogPath, Format("Service Start Fail: %s.", proxyError.c_str()));
    return;
  }
  try {
    if (FFleetOptions.StatusPort > 0)
      FStatusListener = std::make_unique<TStatusListener>(FFleetOptions.StatusAddress, FFleetOptions.StatusPort);
    ListenThread = std::make_unique<TListenThread>(FPort, FListenOptions);
  } catch (const std::exception& e) {
    FStatusListener.reset();
    WriteLog(LogPath, Format("Service Start Fail: %s.", e.what()));
    return;
  }
  ListenThread->SetFreeOnTerminate(false);
  ListenThread->Resume();
  if (FStatusListener) FStatusListener->Resume();
  WriteLog(LogPath, "Service Start Success");
  started = true;
}

void TVardexServerService::ReadConfig(const std::string& fileName) {
  const TIniFile ini(fileName);
  FPort = ini.ReadInteger("Server", "Port", 80);
  FListenOptions = TListenOptions{};
  if (!platform::NetParseAddress(ini.ReadString("Server", "BindAddress", ""), FListenOptions.BindAddress))
    FListenOptions.BindAddress = 0;
  FListenOptions.MaxConnections = ini.ReadInteger("Server", "MaxConnections", 0);
  FListenOptions.IdleTimeout = ini.ReadInteger("Server", "IdleTimeout", 300);
  ServerRoots = SplitRoots(ini.ReadString("Server", "Root", ""));
  ReportHost = ini.ReadString("Report", "Host", "");
  FFleetOptions = ReadFleetOptions(ini);
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
  // Workers still serving a connection are not told; only a drain awaits them.
  if (ListenThread) {
    ListenThread->Stop();
    ListenThread->WaitFor();
    ListenThread.reset();
  }
  DrainTransfers(drainSeconds, [this] { ReportStatus(csStopPending); });
  if (FStatusListener) {
    FStatusListener->Stop();
    FStatusListener.reset();
  }
  WriteLog(LogPath, "Service Stoped");
}

void TVardexServerService::ServicePause(TService&, bool& paused) { paused = false; }
void TVardexServerService::ServiceContinue(TService&, bool& continued) { continued = false; }

void TVardexServerService::ServiceAfterInstall(TService&) {
  AddFirewallRule(FFirewall, kFirewallRuleName, ProgramDirectory() + kProgramFileName);
}

void TVardexServerService::ServiceBeforeUninstall(TService&) { RemoveFirewallRule(FFirewall, kFirewallRuleName); }
