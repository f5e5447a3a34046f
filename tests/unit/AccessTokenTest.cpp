// Access tokens: what a server lets through, and the key files it reads.

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "transfer/AccessToken.h"

namespace {

const std::string kSep(1, platform::kPathDelimiter);
const std::string kOldKey(32, 'k'), kNewKey = std::string(40, 'n'), kOtherKey(32, 'x');
constexpr std::int64_t kNow = 1'800'000'000;

TEST(AccessToken, VerificationTable) {
  const std::string file = kSep + "data" + kSep + "a.bin", dir = kSep + "up" + kSep;
  const std::string get = MintAccessToken(kNewKey, TTokenDirection::kGet, kNow, std::nullopt, file);
  const std::string put = MintAccessToken(kOldKey, TTokenDirection::kPut, kNow + 60, 7, dir);
  // A later expiry, and one changed digit of the signature.
  std::string tamperedExpiry = get, tamperedSignature = get;
  tamperedExpiry[7] = '9';
  tamperedSignature.back() = tamperedSignature.back() == '0' ? '1' : '0';
  const std::vector<std::string> keys = {kNewKey, kOldKey};
  const auto Get = [](const std::string& name, std::int32_t userNo = 0) {
    return TTokenRequest{TTokenDirection::kGet, name, userNo};
  };
  const auto Put = [](const std::string& name, std::int32_t userNo = 7) {
    return TTokenRequest{TTokenDirection::kPut, name, userNo};
  };
  const struct {
    const char* what;
    std::string token;
    TTokenRequest request;
    std::int64_t now;
    std::vector<std::string> keys;
    std::string reason;
  } kCases[] = {
      {"good, up to and including its last second", get, Get(file), kNow, keys, ""},
      {"expired one second later", get, Get(file), kNow + 1, keys, "expired"},
      {"other file", get, Get(file + "x"), kNow, keys, "for another file"},
      {"other direction", get, Put(file, 0), kNow, keys, "for the other direction"},
      {"tampered expiry", tamperedExpiry, Get(file), kNow, keys, "bad signature"},
      {"tampered signature", tamperedSignature, Get(file), kNow, keys, "bad signature"},
      {"old key still in the file", put, Put(dir + "f.bin"), kNow, keys, ""},
      {"old key gone", put, Put(dir + "f.bin"), kNow, {kNewKey}, "bad signature"},
      {"unknown key", MintAccessToken(kOtherKey, TTokenDirection::kGet, kNow, std::nullopt, file), Get(file), kNow,
       keys, "bad signature"},
      {"other USERNO", put, Put(dir + "f.bin", 8), kNow, keys, "for another USERNO"},
      {"directory: deeper", put, Put(dir + "a" + kSep + "b.bin"), kNow, keys, ""},
      {"directory: itself is no file", put, Put(dir), kNow, keys, "for another file"},
      {"directory: a sibling with the same start", put, Put(kSep + "upper" + kSep + "f"), kNow, keys,
       "for another file"},
      {"directory: .. climbs out", put, Put(dir + ".." + kSep + "etc" + kSep + "f"), kNow, keys, "for another file"},
      {"directory: . component", put, Put(dir + "." + kSep + "f"), kNow, keys, "for another file"},
      {"directory: ... component", put, Put(dir + "a" + kSep + "..." + kSep + "f"), kNow, keys, "for another file"},
      {"a file token is no prefix", get, Get(file + kSep + "f"), kNow, keys, "for another file"},
      {"not a token", "v1.get.1.", Get(file), kNow, keys, "malformed"},
      {"version 2", "v2" + get.substr(2), Get(file), kNow, keys, "malformed"},
      {"an extra field", get + ".00", Get(file), kNow, keys, "malformed"},
      {"padded name", get.substr(0, get.rfind('.')) + "=" + get.substr(get.rfind('.')), Get(file), kNow, keys,
       "malformed"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(TokenRefusalReason(c.token, c.keys, c.request, c.now), c.reason) << c.what << ": " << c.token;
  // "..." names bytes the requester may legitimately hold below the prefix.
  EXPECT_TRUE(TokenNameCovers(dir, dir + "a..b" + kSep + ".hidden"));
}

// The text form, as a back end in another language mints it: the expected
// text is what the README's Python lines give for this key and time.
TEST(AccessToken, TextFormIsStable) {
  const std::string key(32, '\x01');
  EXPECT_EQ(MintAccessToken(key, TTokenDirection::kPut, 1800000000, -3, "/srv/up/"),
            "v1.put.1800000000.-3.L3Nydi91cC8."
            "02d0a53ee85c760e8d02d3cd0a8eb40fe7c212f05b6497eb29bd919b287c90da");
  TAccessToken token;
  ASSERT_TRUE(ParseAccessToken(MintAccessToken(key, TTokenDirection::kGet, 5, std::nullopt, "a"), token));
  EXPECT_EQ(token.Name, "a");
  EXPECT_FALSE(token.UserNo.has_value());
}

TEST(AccessToken, KeyFilesHoldOneHexKeyPerLine) {
  std::vector<std::string> keys;
  std::string problem;
  ASSERT_TRUE(ParseTokenKeys("\n " + std::string(64, 'A') + " \r\n\r\n" + std::string(66, '0') + "\n", keys, problem));
  EXPECT_EQ(keys, (std::vector<std::string>{std::string(32, '\xAA'), std::string(33, '\0')}));
  const struct {
    std::string text, problem;
  } kBad[] = {
      {"", "holds no key"},
      {std::string(64, 'a') + "\n" + std::string(62, 'a'), "line 2 holds 31 bytes of key; at least 32 are needed"},
      {std::string(63, 'a'), "line 1 is not a hexadecimal key with an even number of digits"},
      {std::string(64, 'a') + " # old", "line 1 is not a hexadecimal key with an even number of digits"},
  };
  for (const auto& c : kBad) {
    EXPECT_FALSE(ParseTokenKeys(c.text, keys, problem)) << c.text;
    EXPECT_EQ(problem, c.problem) << c.text;
  }
}

}  // namespace
