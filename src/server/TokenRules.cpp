#include "server/TokenRules.h"

#include "server/AccessRules.h"
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
  asked.EitherDirection = request.Digest;
  asked.Name = request.FileName;
  asked.UserNo = request.UserNo;
  const std::string reason = TokenRefusalReason(request.Token, rules.Keys, asked, now);
  return reason.empty() ? "" : "[Access] TokenKeys: token " + reason;
}
