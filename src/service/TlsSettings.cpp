#include "service/TlsSettings.h"

#include "service/FleetOptions.h"

namespace {

std::string FullPath(const std::string& directory, const std::string& file) {
  if (file.empty()) return file;
  const bool full = file[0] == '/' || file[0] == '\\' || (file.size() > 1 && file[1] == ':');
  return full ? file : directory + file;
}

}  // namespace

std::string ReadTlsSettings(const TIniFile& ini, const std::string& directory, TTlsOptions& options) {
  options = {};
  options.Port = ini.ReadInteger("TLS", "Port", 0);
  std::string refusal = CheckPort(ini, "TLS", options.Port);
  // An empty or 0 port, the default, is no TLS port.
  options.Enabled = options.Port > 0;
  if (!refusal.empty() || !options.Enabled) return refusal;

  platform::TlsServerSettings& settings = options.Settings;
  settings.certificateFile = FullPath(directory, ini.ReadString("TLS", "Certificate", ""));
  settings.keyFile = FullPath(directory, ini.ReadString("TLS", "Key", ""));
  settings.clientCaFile = FullPath(directory, ini.ReadString("TLS", "ClientCA", ""));
  if (settings.certificateFile.empty()) return "[TLS] Port is set but Certificate is empty";
  if (settings.keyFile.empty()) return "[TLS] Port is set but Key is empty";
  // An unknown version must not quietly allow an older one than meant.
  const std::string version = ini.ReadString("TLS", "MinVersion", "");
  if (version.empty() || version == "1.2")
    settings.minVersion = platform::TlsVersion::k12;
  else if (version == "1.3")
    settings.minVersion = platform::TlsVersion::k13;
  else
    return "[TLS] MinVersion=" + version + " is neither 1.2 nor 1.3";
  return {};
}
