#pragma once
// The addresses that misbehave, and the bans they earn: BanAfter bad events
// within a minute ban an address for BanSeconds, and each further ban of the
// same address lasts twice as long as the one before, up to a day. An
// address's earlier bans count until a day after its last one ended; its
// events count afresh after each ban. Time is passed in, in seconds on a
// clock that never goes back, so that the rules can be checked without
// waiting. Safe to call from any thread.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/AccessRules.h"

// One address banned now.
struct TBan {
  std::string Address;
  std::int64_t Until = 0;    // the ban ends at this second
  std::uint64_t Events = 0;  // bad events since the address was first remembered
};

class TBanList {
 public:
  static constexpr int kWindowSeconds = 60;
  static constexpr int kLongestBanSeconds = 86400;
  static constexpr int kMemorySeconds = 86400;

  // A bad event from `client` at `now`. True when it starts a ban, which
  // then ends at `until`. An address that `rules` never ban, and one
  // already banned (a connection that was open before its ban began), earn
  // nothing.
  bool BadEvent(const TBanRules& rules, const std::string& client, std::int64_t now, std::int64_t& until);
  // Whether `client` is banned at `now`; never when `rules` ban nobody or
  // never ban it, so that a reload that turns bans off or exempts an
  // address lets it in at once.
  bool Banned(const TBanRules& rules, const std::string& client, std::int64_t now) const;
  // Every address banned at `now`, the earliest end first.
  std::vector<TBan> Current(std::int64_t now) const;

 private:
  struct TRecord {
    std::deque<std::int64_t> Recent;  // the events of the last minute
    std::uint64_t Events = 0;
    int Bans = 0;  // earlier bans that still count for the next one's length
    std::int64_t Until = 0;
  };
  // Drops the records that no longer matter: no ban now, no event within
  // the window, no ban to remember.
  void Forget(std::int64_t now);

  mutable std::mutex FLock;
  std::unordered_map<std::string, TRecord> FRecords;
  // Forget runs when the records reach this many, so that addresses that
  // send one bad event each cost memory only for a minute or so.
  std::size_t FForgetAt = 1024;
};
