#include "server/BanList.h"

#include <algorithm>

namespace {
// The length of a ban that follows `earlier` ones.
std::int64_t BanLength(int firstSeconds, int earlier) {
  std::int64_t seconds = std::max(1, firstSeconds);
  for (int i = 0; i < earlier && seconds < TBanList::kLongestBanSeconds; ++i) seconds *= 2;
  return std::min<std::int64_t>(seconds, TBanList::kLongestBanSeconds);
}
}  // namespace

bool TBanList::BadEvent(const TBanRules& rules, const std::string& client, std::int64_t now, std::int64_t& until) {
  if (rules.After <= 0 || rules.NeverBan.Names(client)) return false;
  std::lock_guard<std::mutex> hold(FLock);
  if (FRecords.size() >= FForgetAt) {
    Forget(now);
    FForgetAt = std::max<std::size_t>(1024, FRecords.size() * 2);
  }
  TRecord& record = FRecords[ClientKey(client)];
  if (record.Until > now) return false;
  ++record.Events;
  while (!record.Recent.empty() && now - record.Recent.front() >= kWindowSeconds) record.Recent.pop_front();
  record.Recent.push_back(now);
  if (record.Recent.size() < static_cast<std::size_t>(rules.After)) return false;

  if (record.Bans > 0 && now >= record.Until + kMemorySeconds) record.Bans = 0;
  record.Until = now + BanLength(rules.Seconds, record.Bans);
  ++record.Bans;
  record.Recent.clear();
  until = record.Until;
  return true;
}

bool TBanList::Banned(const TBanRules& rules, const std::string& client, std::int64_t now) const {
  if (rules.After <= 0 || rules.NeverBan.Names(client)) return false;
  std::lock_guard<std::mutex> hold(FLock);
  const auto found = FRecords.find(ClientKey(client));
  return found != FRecords.end() && found->second.Until > now;
}

std::vector<TBan> TBanList::Current(std::int64_t now) const {
  std::vector<TBan> bans;
  {
    std::lock_guard<std::mutex> hold(FLock);
    for (const auto& [address, record] : FRecords)
      if (record.Until > now) bans.push_back({address, record.Until, record.Events});
  }
  std::sort(bans.begin(), bans.end(), [](const TBan& a, const TBan& b) {
    return a.Until != b.Until ? a.Until < b.Until : a.Address < b.Address;
  });
  return bans;
}

void TBanList::Forget(std::int64_t now) {
  std::erase_if(FRecords, [now](const auto& entry) {
    const TRecord& record = entry.second;
    const bool recentEvent = !record.Recent.empty() && now - record.Recent.back() < kWindowSeconds;
    const bool remembered = record.Bans > 0 && now < record.Until + kMemorySeconds;
    return !recentEvent && !remembered;
  });
}
