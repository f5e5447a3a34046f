#include "server/AcceptFailures.h"

#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"

TAcceptFailures::TAcceptFailures(std::string logPath, std::string prefix)
    : FLogPath(std::move(logPath)), FPrefix(std::move(prefix)) {}

void TAcceptFailures::Failed(const std::string& error) {
  std::uint64_t heldBack = 0;
  if (!FLines.Pass(heldBack)) return;
  try {
    std::string line = FPrefix + error;
    if (heldBack != 0)
      line += Format(" %llu more failures since the last line.", static_cast<unsigned long long>(heldBack));
    WriteLog(FLogPath, line);
  } catch (...) {
    // Descriptors and memory often run out together: the line is lost, the
    // listener goes on.
  }
}
