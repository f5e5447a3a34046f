#include "service/svcMain.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "base/Text.h"
#include "platform/Files.h"
#include "platform/FolderAccess.h"
#include "platform/Paths.h"
#include "platform/ProgramDirectory.h"
#include "platform/ResolvedPaths.h"
#include "platform/Sockets.h"
#include "server/Confinement.h"
#include "server/Metrics.h"
#include "server/ReportSignature.h"
#include "service/AccessOptions.h"
#include "service/Drain.h"
#include "service/FirewallRule.h"
#include "service/ServiceThread.h"
#include "service/SystemError.h"
#include "transfer/SocketLib.h"

namespace {
const char kFirewallRuleName[] = "VardexServer";
// The rule always names this file beside the executable, whatever the
// running executable is called.
const char kProgramFileName[] = "VardexServer.exe";

// The settings of an installation that fill a new configuration, and the
// keys of [Server] they fill.
const std::pair<const char*, const char*> kInstallKeys[] = {
    {"port", "Port"}, {"root", "Root"}, {"bindaddress", "BindAddress"}};

std::string ReadWholeFile(const std::string& name) {
  std::string text;
  const platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kReadExisting);
  if (file == platform::kNoFile) return text;
  char buffer[4096];
  for (long n; (n = platform::ReadFile(file, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  platform::CloseFile(file);
  return text;
}

// `ini` with each key of `values` set in [Server]: its "Key=" line
// replaced, or, where there is none (or no [Server] at all, or no `ini`),
// a line added at the top of the section. Line ends follow the file's.
std::string WithServerValues(const std::string& ini, std::map<std::string, std::string> values) {
  const std::string lineEnd = ini.find("\r\n") != std::string::npos || ini.empty() ? "\r\n" : "\n";
  std::string before, server, after;
  std::string* part = &before;
  for (std::size_t start = 0; start < ini.size();) {
    std::size_t end = ini.find('\n', start);
    end = end == std::string::npos ? ini.size() : end + 1;
    std::string line = ini.substr(start, end - start);
    start = end;
    if (!line.empty() && line[0] == '[')
      part = EqualsIgnoringAsciiCase(line.substr(0, 8), "[Server]") ? &server : part == &before ? &before : &after;
    const std::size_t equals = line.find('=');
    auto value = values.end();
    if (part == &server && equals != std::string::npos)
      value = std::find_if(values.begin(), values.end(),
                           [&](const auto& v) { return EqualsIgnoringAsciiCase(line.substr(0, equals), v.first); });
    if (value != values.end()) {
      line = value->first + "=" + value->second + lineEnd;
      values.erase(value);
    }
    *part += line;
  }
  std::string added;
  for (const auto& [key, value] : values) added += key + "=" + value + lineEnd;
  if (server.empty()) return "[Server]" + lineEnd + added + before + after;
  if (server.back() != '\n') server += lineEnd;
  const std::size_t header = server.find('\n') + 1;
  return before + server.substr(0, header) + added + server.substr(header) + after;
}
// [Report] SigningKey: the key file, relative to `directory` unless a full
// path. A key that cannot be read or is malformed refuses the start: reports
// the web service would refuse as forgeries would be lost.
bool ReadSigningKey(const TIniFile& ini, const std::string& directory, TReportOptions& report, std::string& refusal) {
  const std::string file = ini.ReadString("Report", "SigningKey", "");
  if (file.empty()) return true;
  const bool full = file[0] == '/' || file[0] == '\\' || (file.size() > 1 && file[1] == ':');
  const std::string path = full ? file : directory + file;
  std::string problem = "cannot be read";
  if (platform::RegularFileSize(path) >= 0 && ParseSigningKey(ReadWholeFile(path), report.SigningKey, problem))
    return true;
  refusal = "[Report] SigningKey=" + file + " " + problem;
  return false;
}

// A rate of [Limits] in KiB/s as bytes per second; a value that is not a
// whole number of at least 1 is no limit, the key's default.
std::uint64_t ReadRate(const TIniFile& ini, const char* key) {
  const std::int32_t kibibytes = ini.ReadInteger("Limits", key, 0);
  return kibibytes > 0 ? static_cast<std::uint64_t>(kibibytes) * 1024 : 0;
}
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
  AllowParamChange = true;
  StartType = TStartType::stAuto;
  ErrorSeverity = TErrorSeverity::esNormal;
  ServiceType = TServiceType::stWin32;
  // After a crash: again at once nearly, again after half a minute, then
  // every five minutes, counted afresh after a day without one.
  Recovery = {{5000, 30000, 300000}, 86400};

  OnCreate = [this](TService& s) { ServiceCreate(s); };
  OnDestroy = [this](TService& s) { ServiceDestroy(s); };
  OnStart = [this](TService& s, bool& started) { ServiceStart(s, started); };
  OnExecute = [this](TService& s) { ServiceExecute(s); };
  OnStop = [this](TService& s, bool& stopped) { ServiceStop(s, stopped); };
  OnShutdown = [this](TService& s) { ServiceShutdown(s); };
  OnParamChange = [this](TService&) { Reload(); };
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
  SetLogFailureReport([this](const std::string& message) { LogEvent(TEventId::LogWriteFailed, {message}); });

  started = false;
  std::string refusal;
  if (!ReadConfig(FDirectory + "VardexServer.ini", refusal)) {
    StartFailed(sender, refusal);
    return;
  }
  try {
    if (FConfig->LogKeepDays > 0) FLogRetention = std::make_unique<TLogRetention>(FConfig->LogPath, FConfig->LogKeepDays);
    if (FFleetOptions.StatusPort > 0)
      FStatusListener =
          std::make_unique<TStatusListener>(FFleetOptions.StatusAddresses, FFleetOptions.StatusPort, FConfig->LogPath,
                                            FFleetOptions.StatusToken);
    FListenThread = std::make_unique<TListenThread>(FConfig);
    // Only a server that starts sends what the spool holds.
    if (FConfig->Report.Spool && !FConfig->ReportHost.empty()) FReportSpool = std::make_unique<TReportSpool>(FConfig);
  } catch (const std::exception& e) {
    FListenThread.reset();
    FStatusListener.reset();
    FReportSpool.reset();
    FLogRetention.reset();
    StartFailed(sender, Format("%s.", e.what()));
    return;
  }
  Metrics().MaxConnections = FConfig->Listen.MaxConnections > 0 ? FConfig->Listen.MaxConnections : 0;
  FListenThread->Resume();
  if (FStatusListener) {
    FStatusListener->CountWorkers(FListenThread->Workers());
    FStatusListener->ShowBans(FListenThread->Access());
    FStatusListener->Resume();
  }
  WriteLog(FConfig->LogPath, "Service Start Success");
  LogEvent(TEventId::ServiceStarted);
  started = true;
}

void TVardexServerService::StartFailed(TService& sender, const std::string& reason) {
  WriteLog(FConfig->LogPath, "Service Start Fail: " + reason);
  sender.LogEvent(TEventId::StartFailed, {reason});
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
  config->Limits = {ReadRate(ini, "DownloadRate"), ReadRate(ini, "UploadRate"), ReadRate(ini, "TotalDownloadRate"),
                    ReadRate(ini, "TotalUploadRate")};
  config->LogKeepDays = std::max(0, ini.ReadInteger("Log", "KeepDays", 0));
  config->Report.Spool = ini.ReadInteger("Report", "Spool", 0) == 1;
  config->Report.Digest = ini.ReadInteger("Report", "Digest", 0) == 1;
  config->Report.SpoolDays = std::max(1, ini.ReadInteger("Report", "SpoolDays", 7));
  config->Report.SpoolFolder = FDirectory + "ReportSpool";
  FFleetOptions = {};
  const bool accepted = ReadFailClosedSettings(ini, *config, refusal);
  FConfig = std::move(config);
  return accepted;
}

bool TVardexServerService::ReadFailClosedSettings(const TIniFile& ini, TServerConfig& config, std::string& refusal) {
  refusal = CheckPort(ini, "Server", config.Port);
  if (refusal.empty()) refusal = ReadFleetOptions(ini, FFleetOptions);
  if (!refusal.empty()) return false;
  refusal = ReadBindAddresses(ini, "Server", config.Listen.BindAddresses);
  if (!refusal.empty()) return false;
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
  if (!ReadSigningKey(ini, FDirectory, config.Report, refusal)) return false;
  refusal = ApplyProxyFrom(FFleetOptions.ProxyFrom, config.ProxyFrom);
  if (!refusal.empty()) return false;
  // A list that cannot be read must not start a server open to everyone.
  refusal = ReadAccessRules(ini, FDirectory, config.Access);
  return refusal.empty();
}

void TVardexServerService::Reload() {
  if (!FListenThread) return;
  const TIniFile ini(FDirectory + "VardexServer.ini");
  TAccessRules rules;
  // A file caught between an editor's delete and write reads as empty: its
  // defaults would let everyone in.
  const std::string refusal = ini.Opened() ? ReadAccessRules(ini, FDirectory, rules) : "VardexServer.ini cannot be read";
  if (!refusal.empty()) {
    WriteLog(FConfig->LogPath, "Reload: " + refusal + ", the access rules stay as they were");
    return;
  }
  FListenThread->Access()->Replace(std::move(rules));
  WriteLog(FConfig->LogPath, "Reload: the access rules were reloaded");
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
  FLogRetention.reset();
  FReportSpool.reset();
  WriteLog(FConfig->LogPath, "Service Stoped");
  LogEvent(TEventId::ServiceStopped);
}

int TVardexServerService::ListeningPort() const { return FListenThread ? FListenThread->Port() : -1; }

void TVardexServerService::ServicePause(TService&, bool& paused) { paused = false; }
void TVardexServerService::ServiceContinue(TService&, bool& continued) { continued = false; }

void TVardexServerService::ServiceAfterInstall(TService& sender) {
  WriteNewConfig(sender.InstallSettings);
  const std::string& account = sender.ServiceStartName();
  if (!account.empty() && !EqualsIgnoringAsciiCase(account, "LocalSystem")) GrantFolders(account);
  AddFirewallRule(FFirewall, kFirewallRuleName, FDirectory + kProgramFileName);
}

void TVardexServerService::WriteNewConfig(const std::map<std::string, std::string>& settings) {
  std::map<std::string, std::string> values;
  for (const auto& [setting, key] : kInstallKeys) {
    const auto given = settings.find(setting);
    if (given != settings.end() && !given->second.empty()) values[key] = given->second;
  }
  const std::string fileName = FDirectory + "VardexServer.ini";
  if (settings.empty() || platform::Exists(fileName)) return;
  // A new installation serves this machine only, and only a folder of its
  // own, unless told otherwise.
  if (!values.count("BindAddress")) values["BindAddress"] = "127.0.0.1";
  if (!values.count("Root")) {
    values["Root"] = FDirectory + "files";
    platform::SystemFailure failure;
    if (!platform::MakeFolder(values["Root"], failure)) RaiseLastOSError(failure);
  }
  const std::string text = WithServerValues(ReadWholeFile(FDirectory + "VardexServer.ini.example"), values);
  const platform::FileHandle file = platform::OpenFile(fileName, platform::OpenMode::kWriteTruncate);
  const bool written = file != platform::kNoFile && platform::WriteFile(file, text.data(), text.size());
  const int error = platform::LastError();
  if (file != platform::kNoFile) platform::CloseFile(file);
  if (!written) RaiseLastOSError({error, platform::ErrorText(error) + ": " + fileName});
}

void TVardexServerService::GrantFolders(const std::string& account) {
  platform::SystemFailure failure;
  const auto grant = [&](const std::string& path, platform::FolderRights rights) {
    if (!platform::GrantFolderAccess(account, path, rights, failure))
      RaiseLastOSError({failure.code, failure.text + ": " + path});
  };
  // The program and its configuration are read only; the log and the
  // served folders are written.
  grant(FDirectory, platform::FolderRights::kRead);
  const std::string log = FDirectory + "Log";
  if (!platform::MakeFolder(log, failure)) RaiseLastOSError(failure);
  grant(log, platform::FolderRights::kModify);
  const TIniFile ini(FDirectory + "VardexServer.ini");
  for (const std::string& root : SplitRoots(ini.ReadString("Server", "Root", "")))
    if (platform::IsDirectory(root)) grant(root, platform::FolderRights::kModify);
}

void TVardexServerService::ServiceBeforeUninstall(TService&) { RemoveFirewallRule(FFirewall, kFirewallRuleName); }
