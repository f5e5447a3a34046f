#include "server/TransfersJson.h"

#include "base/Format.h"

namespace {

const char* StateName(TTransferState state) {
  switch (state) {
    case TTransferState::kHandshake: return "handshake";
    case TTransferState::kCheck: return "check";
    case TTransferState::kData: return "data";
    case TTransferState::kCompletion: return "completion";
  }
  return "handshake";
}

const char* DirectionName(int direction) {
  switch (direction) {
    case 0: return "\"download\"";
    case 1: return "\"upload\"";
    case 2: return "\"digest\"";
    default: return "null";
  }
}

}  // namespace

// File names come from clients: quotes, backslashes and control characters
// are escaped, so no name can break out of its string.
void AddJsonString(std::string& json, const std::string& text) {
  json += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      json += Format("\\u%04x", byte);
    } else {
      json += c;
    }
  }
  json += '"';
}

std::string TransfersJson(const std::vector<TTransferSnapshot>& transfers) {
  std::string json = "{\"transfers\":[";
  for (const TTransferSnapshot& t : transfers) {
    if (json.back() != '[') json += ',';
    json += Format("{\"id\":%llu,\"client\":", static_cast<unsigned long long>(t.Id));
    AddJsonString(json, t.Client);
    json += ",\"direction\":";
    json += DirectionName(t.Direction);
    json += ",\"file\":";
    AddJsonString(json, t.File);
    json += Format(",\"started\":%lld,\"position\":%lld,\"size\":%lld,\"moved\":%llu,\"rate\":%.1f,\"state\":\"%s\"}",
                   static_cast<long long>(t.StartedMs), static_cast<long long>(t.Position),
                   static_cast<long long>(t.Size), static_cast<unsigned long long>(t.Moved), t.Rate,
                   StateName(t.State));
  }
  json += "]}\n";
  return json;
}
