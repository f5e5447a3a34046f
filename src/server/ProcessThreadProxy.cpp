// The PROXY header of a connection from a listed load balancer: read whole
// within 10 seconds, never a byte beyond it, so that the conversation that
// follows starts exactly where a direct client's would.

#include <algorithm>
#include <atomic>
#include <chrono>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "server/ProcessThread.h"
#include "server/ProxyHeader.h"

namespace {

std::int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One line a minute: a balancer misconfigured without send-proxy would
// otherwise write a line for each of its connections and health checks.
void LogMissingHeader(const std::string& logPath, const std::string& balancer) {
  static std::atomic<std::int64_t> lastLine{-60};
  const std::int64_t now = SteadySeconds();
  std::int64_t last = lastLine;
  if (now - last < 60 || !lastLine.compare_exchange_strong(last, now)) return;
  WriteLog(logPath, Format("%s-ProxyHeader: connection closed, no valid PROXY header within %d s", balancer.c_str(),
                           kPeerWaitSeconds));
}

}  // namespace

bool TProcessThread::ReadProxyHeader() {
  if (FConfig->ProxyFrom.Empty()) return true;
  const std::string peer = FPeerAddress;
  if (!FConfig->ProxyFrom.Contains(peer)) return true;

  std::uint8_t bytes[std::max(kProxyV1MaxLength, kProxyV2MaxLength)];
  std::size_t size = 0;
  // One deadline for the whole header, from the accept, not for each wait:
  // a peer that trickles a byte now and then must not hold the worker for
  // longer, nor one that waited for its first byte without a worker.
  const auto deadline = FAccepted + std::chrono::seconds(kPeerWaitSeconds);
  TProxyHeader header = ParseProxyHeader(bytes, size);
  while (header.State == TProxyHeader::kIncomplete) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || SocketSelect(FConnection.Socket(), static_cast<int>(left), 1) <= 0) break;
    // What has come, up to the bytes that certainly belong to the header.
    const long received = platform::NetRecv(FConnection.Socket(), bytes + size, header.Wanted);
    if (received <= 0) break;
    size += static_cast<std::size_t>(received);
    header = ParseProxyHeader(bytes, size);
  }
  if (header.State != TProxyHeader::kComplete) {
    LogMissingHeader(FConfig->LogPath, peer);
    return false;
  }
  FProxiedAddress = header.ClientAddress;
  FMembership.Progress().SetClient(FProxiedAddress);
  return true;
}
