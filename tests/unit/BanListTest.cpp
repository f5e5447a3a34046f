// The bans: when bad events start one, how long it lasts, how the length
// grows and when it is forgotten, and who is never banned. Time is given, so
// a day passes at once.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "server/BanList.h"

namespace {

TBanRules Rules(int after, int seconds, const std::string& neverBan = "") {
  TBanRules rules;
  rules.After = after;
  rules.Seconds = seconds;
  EXPECT_TRUE(rules.NeverBan.Parse(neverBan));
  return rules;
}

// `count` bad events from `client`, one at each second from `start`; the
// end of the ban the last one started, or 0 when none did.
std::int64_t Events(TBanList& bans, const TBanRules& rules, const std::string& client, int count, std::int64_t start) {
  std::int64_t until = 0, started = 0;
  for (int i = 0; i < count; ++i)
    if (bans.BadEvent(rules, client, start + i, until)) started = until;
  return started;
}

TEST(BanList, EventsWithinAMinuteBanForDoublingTimesUpToADayRememberedForADayAfter) {
  TBanList bans;
  const TBanRules rules = Rules(3, 600);
  const std::string client = "192.0.2.7";

  // Spread out, three events never fall within one minute.
  std::int64_t until = 0;
  for (std::int64_t t : {0, 30, 60, 90, 120}) EXPECT_FALSE(bans.BadEvent(rules, client, t, until)) << t;
  // The third within the minute bans, from its second on.
  EXPECT_EQ(Events(bans, rules, client, 1, 121), 121 + 600);
  EXPECT_TRUE(bans.Banned(rules, client, 121));
  EXPECT_TRUE(bans.Banned(rules, "::ffff:192.0.2.7", 720));  // the same client on a dual-stack socket
  EXPECT_FALSE(bans.Banned(rules, "192.0.2.8", 130));
  // Events during the ban earn nothing; the count starts afresh after it.
  EXPECT_EQ(Events(bans, rules, client, 5, 200), 0);
  EXPECT_FALSE(bans.Banned(rules, client, 721));
  EXPECT_EQ(Events(bans, rules, client, 2, 721), 0);
  ASSERT_EQ(bans.Current(200).size(), 1u);
  EXPECT_EQ(bans.Current(200)[0].Address, client);
  EXPECT_EQ(bans.Current(200)[0].Until, 721);
  EXPECT_TRUE(bans.Current(721).empty());

  // Each further ban lasts twice the one before, up to a day.
  std::int64_t t = 1000;
  for (std::int64_t length : {1200, 2400, 4800, 9600, 19200, 38400, 76800, 86400, 86400}) {
    EXPECT_EQ(Events(bans, rules, client, 3, t), t + 2 + length) << length;
    t += 2 + length;
  }
  // A ban that starts up to a day after the last one ended follows it; one
  // that starts a day after starts afresh.
  EXPECT_EQ(Events(bans, rules, client, 3, t + 86397), t + 86399 + 86400);
  t += 86399 + 86400;
  EXPECT_EQ(Events(bans, rules, client, 3, t + 86398), t + 86400 + 600);
  EXPECT_EQ(bans.Current(t + 86402)[0].Events, 6u + 2 + 3 * 11);
}

TEST(BanList, NeverBanAndBansOffLeaveAnAddressAlone) {
  TBanList bans;
  const TBanRules rules = Rules(2, 60, "10.0.0.0/8;2001:db8::/32");
  EXPECT_EQ(Events(bans, rules, "10.1.2.3", 10, 0), 0);
  EXPECT_EQ(Events(bans, rules, "::ffff:10.1.2.3", 10, 0), 0);
  EXPECT_EQ(Events(bans, rules, "2001:db8::5", 10, 0), 0);
  EXPECT_EQ(Events(bans, rules, "2001:db9::5", 2, 0), 61);
  // A reload that exempts the address, or turns bans off, lets it in at once.
  EXPECT_TRUE(bans.Banned(rules, "2001:db9::5", 30));
  EXPECT_FALSE(bans.Banned(Rules(2, 60, "2001:db9::/32"), "2001:db9::5", 30));
  EXPECT_FALSE(bans.Banned(Rules(0, 60), "2001:db9::5", 30));
  EXPECT_EQ(Events(bans, Rules(0, 60), "192.0.2.1", 10, 0), 0);
}

}  // namespace
