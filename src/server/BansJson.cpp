#include "server/BansJson.h"

#include <chrono>

#include "base/Format.h"
#include "server/TransfersJson.h"

namespace {

// "2026-12-10T03:15:00Z"
std::string Rfc3339(std::int64_t secondsSince1970) {
  using namespace std::chrono;
  const sys_seconds time{seconds(secondsSince1970)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{time - day};
  return Format("%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(clock.hours().count()), static_cast<long long>(clock.minutes().count()),
                static_cast<long long>(clock.seconds().count()));
}

}  // namespace

std::string BansJson(const std::vector<TBan>& bans, std::int64_t now, std::int64_t wallNow) {
  std::string json = "[";
  for (const TBan& ban : bans) {
    if (json.size() > 1) json += ',';
    json += "{\"address\":";
    AddJsonString(json, ban.Address);
    json += Format(",\"until\":\"%s\",\"events\":%llu}", Rfc3339(wallNow + (ban.Until - now)).c_str(),
                   static_cast<unsigned long long>(ban.Events));
  }
  return json + "]";
}
