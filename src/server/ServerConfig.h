#pragma once
// What the operator configured for the server, read once at service start
// and then shared, unchanged, by the listener and every worker (only the
// [Access] rules can change while it runs: see server/LiveAccess.h). A worker
// holds its own reference, so one that outlives the listener (a stop does
// not wait for transfers) keeps what it needs; two servers with different
// settings can run side by side in one process.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/IpAddress.h"
#include "server/AccessRules.h"
#include "server/ProxySources.h"

// What an operator may restrict; the defaults serve everyone, as always.
struct TListenOptions {
  // One listening socket each; 0.0.0.0 is every IPv4 interface, :: every
  // IPv6 one (and IPv4 too, when the list names no IPv4 address).
  std::vector<platform::IpAddress> BindAddresses{platform::IpAddress()};
  int MaxConnections = 0;  // open connections at most; 0 is no limit
  int IdleTimeout = 0;     // seconds without progress; 0 never cuts
};

// [Limits], in bytes per second; 0 is no limit. The totals are shared by all
// running transfers of their direction on one listener.
struct TRateLimits {
  std::uint64_t Download = 0;  // each download
  std::uint64_t Upload = 0;    // each upload
  std::uint64_t TotalDownload = 0;
  std::uint64_t TotalUpload = 0;
};

// What becomes of a report the web service did not take.
struct TReportOptions {
  // [Report] Spool: a failed report is kept in SpoolFolder and retried; every
  // report then carries "&event=ID", the same on every attempt, so that the
  // web service can drop duplicates.
  bool Spool = false;
  // [Report] SpoolDays: a kept report older than this is dropped.
  int SpoolDays = 7;
  std::string SpoolFolder;
  // [Report] SigningKey: the key's bytes, from its file; empty sends reports
  // unsigned.
  std::string SigningKey;
  // [Report] Digest=1: the report of a completed upload carries the file's
  // digest; off by default, as the web service's URLs are its contract.
  bool Digest = false;
};

struct TServerConfig {
  // The daily log's path prefix: a directory followed by a file-name stem.
  std::string LogPath;
  // [Log] KeepDays: daily files older than this many days are deleted; 0
  // keeps every file.
  int LogKeepDays = 0;
  std::int32_t Port = 80;  // 0: the system chooses
  TListenOptions Listen;
  // [Server] Root: the directories clients may reach; empty serves every
  // path the service can reach.
  std::vector<std::string> Roots;
  // [Report] Host: "host" or "host:port" of the operator's web service;
  // empty sends no reports.
  std::string ReportHost;
  TReportOptions Report;
  // [Server] ProxyFrom: the balancers trusted to name the client.
  TProxySources ProxyFrom;
  // [Access]: who may download and who may upload, the per-host cap and
  // the bans, as the listener starts with them; a reload replaces the
  // running listener's own copy (TListenThread::Access), never this.
  TAccessRules Access;
  TRateLimits Limits;
};

using TServerConfigPtr = std::shared_ptr<const TServerConfig>;
