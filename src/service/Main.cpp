// Program entry. Until the service host takes over, the server runs in the
// foreground: it reads its port, starts the listener and serves until a stop
// request (SIGTERM/SIGINT, or Ctrl+C on the console).

#include <cstdio>
#include <exception>
#include <string>

#include "platform/Paths.h"
#include "platform/StopRequest.h"
#include "server/Confinement.h"
#include "server/ListenThread.h"
#include "server/Reports.h"
#include "service/IniFile.h"
#include "transfer/SocketLib.h"
#include "transfer/uGlobal.h"

int main() {
  platform::PrepareStopRequest();
  std::string error;
  SockStartup(error);

  const std::string directory = platform::DirectoryPart(platform::ExecutablePath());
  const std::string delimiter(1, platform::kPathDelimiter);
  LogPath = directory + "Log" + delimiter + "FileServer";
  const TIniFile ini(directory + "VardexServer.ini");
  const std::int32_t port = ini.ReadInteger("Server", "Port", 80);
  ReportHost = ini.ReadString("Report", "Host", "");
  ServerRoots = SplitRoots(ini.ReadString("Server", "Root", ""));
  TListenOptions options;
  if (!platform::NetParseAddress(ini.ReadString("Server", "BindAddress", ""), options.BindAddress))
    options.BindAddress = 0;
  options.MaxConnections = ini.ReadInteger("Server", "MaxConnections", 0);
  options.IdleTimeout = ini.ReadInteger("Server", "IdleTimeout", 300);

  int exitCode = 0;
  try {
    TListenThread listener(port, options);
    listener.Resume();
    WriteLog(LogPath, "Service Start Success");
    std::printf("VardexServer listening on port %d\n", listener.Port());
    std::fflush(stdout);
    platform::WaitForStopRequest();
    listener.Stop();
    listener.WaitFor();
    WriteLog(LogPath, "Service Stoped");
  } catch (const std::exception& e) {
    WriteLog(LogPath, Format("Service Start Fail: %s.", e.what()));
    std::fprintf(stderr, "Service Start Fail: %s.\n", e.what());
    exitCode = 1;
  }
  SockCleanup();
  return exitCode;
}
