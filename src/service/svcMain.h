#pragma once
// The VardexServer service: starts the listener on the configured port at
// service start and stops it at stop and at system shutdown; opens the
// program in the firewall when installed and closes it when removed.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/LogRetention.h"
#include "platform/EventLog.h"
#include "platform/Firewall.h"
#include "server/ListenThread.h"
#include "server/ReportSpool.h"
#include "server/ServerConfig.h"
#include "server/StatusListener.h"
#include "service/FleetOptions.h"
#include "service/IniFile.h"
#include "service/Service.h"

// The directory of the executable with its trailing delimiter, or the
// platform's fallback directory when the executable's path cannot be had.
std::string ProgramDirectory();

class TVardexServerService : public TService {
 public:
  // `directory` (with its trailing delimiter) holds VardexServer.ini and the
  // Log folder.
  TVardexServerService(platform::EventLog& eventLog, platform::Firewall& firewall,
                       std::string directory = ProgramDirectory());
  // Lost log lines are no longer reported through this service's event
  // source.
  ~TVardexServerService() override;

  void ServiceCreate(TService& sender);
  void ServiceDestroy(TService& sender);
  void ServiceStart(TService& sender, bool& started);
  void ServiceExecute(TService& sender);
  void ServiceStop(TService& sender, bool& stopped);
  void ServiceShutdown(TService& sender);
  void ServicePause(TService& sender, bool& paused);
  void ServiceContinue(TService& sender, bool& continued);
  void ServiceAfterInstall(TService& sender);
  void ServiceBeforeUninstall(TService& sender);

  // Reads the server's configuration from `fileName` into a new Config():
  // [Server] Port (default 80), the listener's restrictions, Root,
  // ProxyFrom and [Report] Host, and the fleet's keys. Missing or malformed
  // values take their defaults, except those of ReadFailClosedSettings:
  // false then, with `refusal` naming the key and its value.
  bool ReadConfig(const std::string& fileName, std::string& refusal);
  // The largest IdleTimeout taken; larger values are taken as this.
  static constexpr int kMaxIdleTimeout = 86400;
  const TServerConfig& Config() const { return *FConfig; }
  std::int32_t Port() const { return FConfig->Port; }
  const TListenOptions& ListenOptions() const { return FConfig->Listen; }
  const TFleetOptions& FleetOptions() const { return FFleetOptions; }
  // The port the running listener bound; -1 while there is none.
  int ListeningPort() const;
  // What changes without a restart, read again from VardexServer.ini: the
  // [Access] rules, which the running listener's new requests then go by
  // (requests under way keep theirs). A file that cannot be read or a
  // malformed key keeps all of the old rules. One line in the log either
  // way. Called on the service thread for the manager's parameter-change
  // control and for SIGHUP.
  void Reload();

 private:
  // The settings whose default would widen access or hide a typo that
  // matters for safety or reachability (both listeners' Port and
  // BindAddress, Root and ProxyFrom): a malformed value refuses the start
  // instead of falling back. False with `refusal` naming the key and the
  // value.
  bool ReadFailClosedSettings(const TIniFile& ini, TServerConfig& config, std::string& refusal);
  // "Service Start Fail: <reason>" to the log and the event log.
  void StartFailed(TService& sender, const std::string& reason);
  // A new VardexServer.ini from VardexServer.ini.example when an
  // installation gives settings and there is none: [Server] Port, Root
  // (default: the folder "files" beside the program) and BindAddress
  // (default: 127.0.0.1) from `settings`. Throws when it cannot be written.
  void WriteNewConfig(const std::map<std::string, std::string>& settings);
  // Read rights on the program's folder and modify rights on Log\ and the
  // configured Root folders for `account`. Throws at the first failure.
  void GrantFolders(const std::string& account);
  // The steps that stop and shutdown share; a stop may first give running
  // transfers `drainSeconds` to finish.
  void StopListener(int drainSeconds);

  platform::Firewall& FFirewall;
  const std::string FDirectory;
  // Shared with the listener and every worker; replaced, never changed, by
  // ReadConfig.
  TServerConfigPtr FConfig;
  TFleetOptions FFleetOptions;
  // Between a successful start and the stop.
  std::unique_ptr<TListenThread> FListenThread;
  std::unique_ptr<TStatusListener> FStatusListener;
  std::unique_ptr<TLogRetention> FLogRetention;
  std::unique_ptr<TReportSpool> FReportSpool;
};
