#pragma once
// The [Access] section, read whole at the start and again at each reload:
// a list or number that cannot be read must neither start a server open to
// everyone nor replace rules that work, so any malformed key refuses all of
// the section.

#include <string>

#include "server/AccessRules.h"
#include "service/IniFile.h"

// The largest number MaxConnectionsPerHost and BanAfter take.
constexpr int kMaxAccessCount = 1000000;

// Empty, with `rules` the section's rules, when every key is well formed;
// otherwise the reason, naming the key and its value, and `rules` as it was.
// DownloadFrom, UploadFrom and NeverBan are lists of addresses and prefixes;
// MaxConnectionsPerHost and BanAfter whole numbers from 0 to
// kMaxAccessCount (0: off); BanSeconds a whole number of at least 1, more
// than a day taken as a day; TokenKeys a readable key file (relative to
// `directory` unless a full path), RequireToken 0 or 1 (1 only with keys);
// AuthorizeUrl an http:// URL, AuthorizeOnError deny or allow.
std::string ReadAccessRules(const TIniFile& ini, const std::string& directory, TAccessRules& rules);
