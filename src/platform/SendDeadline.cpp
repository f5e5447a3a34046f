#include "platform/SendDeadline.h"

namespace platform {

SendDeadline::SendDeadline(SocketHandle s)
    : FSocket(s), FIdleMilliseconds(NetIdleTimeout(s)), FLastProgress(std::chrono::steady_clock::now()) {}

bool SendDeadline::WaitForRoom() {
  if (FIdleMilliseconds <= 0) return NetWaitWritable(FSocket, -1);
  const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          FLastProgress);
  const auto left = FIdleMilliseconds - idle.count();
  return NetWaitWritable(FSocket, left > 0 ? static_cast<int>(left) : 0);
}

}  // namespace platform
