#pragma once
// Who may download and who may upload: [Access] DownloadFrom and UploadFrom,
// lists of IPv4 and IPv6 addresses and prefixes. An empty list lets everyone
// in, as a server without these keys always has. The client is the address
// the PROXY header names when the peer is a trusted balancer, so that a list
// means the same behind a balancer as without one. With them, the per-host
// cap and the rules of bans: every [Access] key, as one value that a reload
// replaces whole.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"
#include "server/Authorizer.h"
#include "server/TokenRules.h"

class TAddressList {
 public:
  // "10.0.0.0/8;192.168.1.7;2001:db8::/32", blanks around entries ignored;
  // empty is everyone. An empty entry ("10.0.0.1;") is malformed, unlike in
  // ProxyFrom: a list that lets in is read strictly, so that a stray `;` is
  // not mistaken for a deliberate rule. False, leaving the list as it was,
  // when malformed.
  bool Parse(const std::string& text);
  // `client` in the text the worker logs it with; an address that cannot be
  // read is let in only by an empty list.
  bool Allows(const std::string& client) const;
  // Whether an entry names `client`; an empty list names nobody.
  bool Names(const std::string& client) const;

 private:
  std::vector<platform::IpPrefix> FPrefixes;
};

enum class TAccessDirection { kDownload, kUpload };

// What the rules judge: one request as its conversation read it, before the
// file or the disk is looked at.
struct TAccessRequest {
  TAccessDirection Direction = TAccessDirection::kDownload;
  // A digest request reads the file, so it is a download to the lists and
  // the authoriser; to the tokens it is a download, or with an upload token
  // for the file the digest of the whole file.
  bool Digest = false;
  std::string Client;  // as the worker logs it
  std::string FileName;
  std::int32_t FileNo = 0;
  std::int32_t UserNo = 0;
  std::int64_t FileSize = 0;  // as the request declares it
  std::optional<std::int64_t> FilePos;  // none for an upload
  std::string Token;          // the body's TOKEN; empty when none was sent
};

// When a client's bad events ban it (server/BanList.h).
struct TBanRules {
  // [Access] BanAfter: this many bad events within a minute ban the
  // address; 0 never bans.
  int After = 0;
  // [Access] BanSeconds: the first ban; each further one lasts twice the
  // one before, up to a day.
  int Seconds = 600;
  // [Access] NeverBan: addresses never banned, whatever they send.
  TAddressList NeverBan;
};

struct TAccessRules {
  TAddressList DownloadFrom;
  TAddressList UploadFrom;
  // [Access] MaxConnectionsPerHost: open connections from one client
  // address at most; 0 is no cap.
  int MaxConnectionsPerHost = 0;
  TBanRules Ban;
  // [Access] TokenKeys, RequireToken.
  TTokenRules Tokens;
  // [Access] AuthorizeUrl, AuthorizeTimeout, AuthorizeOnError.
  TAuthorizer Authorizer;

  // Empty when `client` may go on in `direction`; otherwise the rule that
  // refuses it, as the operator wrote it ("[Access] UploadFrom").
  std::string Refusal(TAccessDirection direction, const std::string& client) const;
};

// `client` as the per-host counts and the bans know it: an IPv4-mapped IPv6
// address is the IPv4 address it carries, so that one client is one entry
// whichever socket it came in on.
std::string ClientKey(const std::string& client);
