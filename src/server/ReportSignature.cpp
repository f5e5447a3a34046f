#include "server/ReportSignature.h"

#include "base/Format.h"
#include "base/Text.h"
#include "platform/Hmac.h"

namespace {

constexpr std::size_t kMinKeyBytes = 32;

}  // namespace

std::string ReportSignature(const std::string& key, const std::string& target, std::int64_t unixTime) {
  const std::string time = Format("%lld", static_cast<long long>(unixTime));
  std::string digest;
  if (!platform::HmacSha256(key, time + "\n" + target, digest)) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string value = "t=" + time + ",v1=";
  for (const char c : digest) {
    const auto byte = static_cast<unsigned char>(c);
    value += kHex[byte >> 4];
    value += kHex[byte & 0x0F];
  }
  return value;
}

bool ParseSigningKey(const std::string& text, std::string& key, std::string& problem) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  const std::string digits = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  key.clear();
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = i + 1 < digits.size() ? HexDigit(digits[i + 1]) : -1;
    if (high < 0 || low < 0) {
      problem = "is not one hexadecimal key with an even number of digits";
      key.clear();
      return false;
    }
    key += static_cast<char>(high * 16 + low);
  }
  if (key.size() < kMinKeyBytes) {
    problem = Format("holds %u bytes of key; at least %u are needed", static_cast<unsigned>(key.size()),
                     static_cast<unsigned>(kMinKeyBytes));
    key.clear();
    return false;
  }
  return true;
}
