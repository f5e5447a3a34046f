#include "server/AccessRules.h"

// An empty entry (";", "10.0.0.1;") is malformed: a list is written on
// purpose, and a stray separator is more likely a lost address than nothing.
bool TAddressList::Parse(const std::string& text) {
  if (text.find_first_not_of(" \t") == std::string::npos) {
    FPrefixes.clear();
    return true;
  }
  return platform::IpPrefix::ParseList(text, false, FPrefixes);
}

bool TAddressList::Allows(const std::string& client) const {
  return FPrefixes.empty() || platform::IpPrefix::AnyContains(FPrefixes, client);
}

std::string TAccessRules::Refusal(TAccessDirection direction, const std::string& client) const {
  if (direction == TAccessDirection::kDownload) return DownloadFrom.Allows(client) ? "" : "[Access] DownloadFrom";
  return UploadFrom.Allows(client) ? "" : "[Access] UploadFrom";
}

bool TAddressList::Names(const std::string& client) const { return platform::IpPrefix::AnyContains(FPrefixes, client); }

std::string ClientKey(const std::string& client) {
  platform::IpAddress address;
  return platform::IpAddress::Parse(client, address) ? address.Text() : client;
}
