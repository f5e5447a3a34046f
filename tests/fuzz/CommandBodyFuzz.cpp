// Feeds arbitrary bytes to the command-body parser and checks what every
// received body must satisfy, whatever a client sends; then the TOKEN value
// to the token parser and the server's verification.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "transfer/AccessToken.h"
#include "transfer/CommandBody.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::vector<std::string> kKeys = {std::string(32, 'k')};

// Whatever TOKEN holds: verification gives one of its reasons; a token that
// parses can be minted again from its fields, and that one is valid for
// exactly what it names; a directory never covers a name with a dot-only
// component.
void CheckToken(const std::string& value, const std::string& name) {
  TAccessToken token;
  const TTokenRequest asked{TTokenDirection::kGet, name, 0};
  const std::string reason = TokenRefusalReason(value, kKeys, asked, 0);
  static const std::set<std::string> kReasons = {
      "", "malformed", "bad signature", "expired", "for the other direction", "for another USERNO", "for another file"};
  Check(kReasons.count(reason) == 1);
  if (!ParseAccessToken(value, token)) {
    Check(reason == "malformed");
    return;
  }
  Check(!token.Name.empty() && token.Signature.size() == 32);
  const std::string again = MintAccessToken(kKeys[0], token.Direction, token.Expiry, token.UserNo, token.Name);
  // A directory token names no file of its own: one below it stands in,
  // unless the directory's own name has a dot-only component.
  const bool directory = token.Name.back() == '/';
  const TTokenRequest own{token.Direction, directory ? token.Name + "f" : token.Name, token.UserNo.value_or(7)};
  const std::string ownReason = TokenRefusalReason(again, kKeys, own, token.Expiry);
  Check(ownReason.empty() || (directory && ownReason == "for another file"));
  Check(TokenRefusalReason(again, kKeys, own, token.Expiry + 1) == "expired");
  if (TokenNameCovers(token.Name, name) && name != token.Name) {
    Check(name.compare(0, token.Name.size(), token.Name) == 0);
    Check(("/" + name + "/").find("/./") == std::string::npos && ("/" + name + "/").find("/../") == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  TCommandBody body(text, size);
  for (const char* key : {"REMOTEFILENAME", "FILENO", "USERNO", "FILESIZE", "FILEPOS"}) {
    const std::string value = body.Value(key);
    // A value never runs past its line or past the end of the text.
    Check(value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    Check(value.size() < size || size == 0);
    const std::int64_t wide = body.Int64(key);
    const std::int64_t narrow = TCommandBody::ParseInteger(value, 32);
    Check(narrow >= INT32_MIN && narrow <= INT32_MAX);
    Check(body.Int32(key) == narrow);
    // A number that fits 32 bits reads the same at 64 bits, unless it is a
    // hexadecimal pattern whose sign bit differs between the widths.
    if (narrow > 0 && value.find_first_of("$xX") == std::string::npos) Check(wide == narrow);
  }
  CheckToken(body.Value("TOKEN"), body.Value("REMOTEFILENAME"));
  // The whole input as one value: the parser must stay within it.
  TCommandBody::ParseInteger(std::string(text, size), 64);
  TCommandBody::ParseInteger(std::string(text, size), 32);
  return 0;
}
