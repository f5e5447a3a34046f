#include "server/TokenRules.h"

#include "server/AccessRules.h"
#include "server/FileHelpers.h"
#include "transfer/AccessToken.h"

std::string ReadTokenRules(const std::string& keyFile, const std::string& directory, bool required,
                           TTokenRules& rules) {
  rules = {};
  if (required && keyFile.empty()) return "[Access] RequireToken=1 needs [Access] TokenKeys";
  rules.Required = required;
  if (keyFile.empty()) return {};
  const bool full = keyFile[0] == '/' || keyFile[0] == '\\' || (keyFile.size() > 1 && keyFile[1] == ':');
  std::string problem;
  if (!ReadTokenKeyFile(full ? keyFile : directory + keyFile, rules.Keys, problem)) {
    rules = {};
    return "[Access] TokenKeys=" + keyFile + " " + problem;
  }
  return {};
}

std::string TokenRefusal(const TTokenRules& rules, const TAccessRequest& request, std::int64_t now) {
  if (rules.Keys.empty()) return {};
  if (request.Token.empty()) return rules.Required ? "[Access] RequireToken: no token" : "";
  TTokenRequest asked;
  asked.Direction = request.Direction == TAccessDirection::kUpload ? TTokenDirection::kPut : TTokenDirection::kGet;
  asked.Name = request.FileName;
  asked.UserNo = request.UserNo;
  std::string reason = TokenRefusalReason(request.Token, rules.Keys, asked, now);
  // The client of an upload compares digests before and after it, so an
  // upload token grants a digest too, but only of the whole file: digests
  // of short prefixes would let its holder read the file byte by byte.
  if (request.Digest && reason == "for the other direction") {
    asked.Direction = TTokenDirection::kPut;
    reason = TokenRefusalReason(request.Token, rules.Keys, asked, now);
    const std::int64_t prefix = request.FilePos.value_or(0);
    if (reason.empty() && prefix != 0 && prefix != GetFileSize64(request.FileName))
      reason = "for uploads, which grants the digest of the whole file only";
  }
  return reason.empty() ? "" : "[Access] TokenKeys: token " + reason;
}
