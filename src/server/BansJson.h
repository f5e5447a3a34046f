#pragma once
// The status port's list of banned addresses as JSON, the earliest end first:
//   [{"address":"192.0.2.7","until":"2026-12-10T03:15:00Z","events":12}]
// "until" is when the ban ends, in UTC; "events" the bad events the address
// has had since it was first remembered, those of earlier bans included.

#include <cstdint>
#include <string>
#include <vector>

#include "server/BanList.h"

// `now` is the ban list's clock at `wallNow`, the seconds since 1970.
std::string BansJson(const std::vector<TBan>& bans, std::int64_t now, std::int64_t wallNow);
