#include "base/DailyLog.h"

#include <atomic>
#include <mutex>

#include "base/Format.h"
#include "base/Throttle.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"

namespace {

// Lines of all threads go through one open-append-close at a time, so no
// line is lost to another writer holding the file.
std::mutex logMutex;

// Guarded by logMutex, so that no report runs once it has been cleared.
// Workers may still log while the process exits, so this is never destroyed.
std::function<void(const std::string&)>& failureReport = *new std::function<void(const std::string&)>;
TThrottle failureThrottle(60);
std::atomic<std::uint64_t> failures{0};

// The one place a lost line ends up. Called with logMutex held.
void LineLost(const std::string& fileName, int error) {
  ++failures;
  std::uint64_t heldBack = 0;
  if (!failureReport || !failureThrottle.Pass(heldBack)) return;
  // A report that fails is lost like the line: nothing here may throw.
  try {
    failureReport(Format("WriteLog(%s): failed, %s; lines lost since the last report: %llu", fileName.c_str(),
                         platform::ErrorText(error).c_str(), static_cast<unsigned long long>(heldBack + 1)));
  } catch (...) {
  }
}

}  // namespace

bool WriteLog(const std::string& prefix, const std::string& message) {
  platform::CreateDirectories(platform::DirectoryPart(prefix));
  // One clock reading names the file and stamps the line, so a line written
  // at midnight lies in the file of its own date.
  const platform::LocalTime now = platform::LocalNow();
  const std::string fileName = prefix + Format("%4.4d%2.2d%2.2d", now.year, now.month, now.day) + ".log";
  const std::string line = Format("%2.2d:%2.2d:%2.2d", now.hour, now.minute, now.second) + "  " + message + "\r\n";

  std::lock_guard<std::mutex> lock(logMutex);
  const platform::UniqueFile file(platform::OpenFile(fileName, platform::OpenMode::kAppend));
  if (!file.valid()) {
    LineLost(fileName, platform::LastError());
    return false;
  }
  const bool written = platform::WriteFile(file.get(), line.data(), line.size());
  if (!written) LineLost(fileName, platform::LastError());
  return written;
}

std::uint64_t LogWriteFailures() { return failures; }

void SetLogFailureReport(std::function<void(const std::string& message)> report) {
  std::lock_guard<std::mutex> lock(logMutex);
  failureReport = std::move(report);
  failureThrottle.Reset();
}
