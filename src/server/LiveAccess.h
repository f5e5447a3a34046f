#pragma once
// The [Access] rules of a running listener and what they keep track of:
// the rules themselves, which a reload replaces whole while connections
// run (each request judged by the rules it took when it began), and the
// bans, which outlive a reload. Shared by the listener, each of its
// workers and the status port.

#include <cstdint>
#include <memory>
#include <mutex>

#include "base/Throttle.h"
#include "server/AccessRules.h"
#include "server/BanList.h"

class TLiveAccess {
 public:
  explicit TLiveAccess(TAccessRules rules);
  TLiveAccess(const TLiveAccess&) = delete;
  TLiveAccess& operator=(const TLiveAccess&) = delete;

  // The rules now; a request keeps the ones it took to its end.
  std::shared_ptr<const TAccessRules> Rules() const;
  // From the next request on, `rules`; requests under way keep theirs.
  void Replace(TAccessRules rules);

  TBanList& Bans() { return FBans; }
  const TBanList& Bans() const { return FBans; }
  // The clock of the bans: seconds that never go back.
  static std::int64_t Now();

  // Connections closed over MaxConnectionsPerHost are logged once a minute:
  // a client that opens hundreds must not write hundreds of lines.
  TThrottle& PerHostLines() { return FPerHostLines; }

 private:
  mutable std::mutex FLock;
  std::shared_ptr<const TAccessRules> FRules;
  TBanList FBans;
  TThrottle FPerHostLines{60};
};
