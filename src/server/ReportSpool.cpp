#include "server/ReportSpool.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "base/Thread.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"
#include "server/Metrics.h"
#include "server/Reports.h"

namespace {

const char kReportSuffix[] = ".report";
const char kPartSuffix[] = ".part";
// How often the thread looks for new reports and due retries.
constexpr auto kScanPause = std::chrono::seconds(5);
// A part file this old was left by a write that never finished.
constexpr std::int64_t kStalePartSeconds = 3600;
// How long the owner waits for the thread at its end.
constexpr auto kStopWait = std::chrono::seconds(2);

std::int64_t UnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string WithDelimiter(const std::string& folder) {
  return !folder.empty() && folder.back() == platform::kPathDelimiter ? folder : folder + platform::kPathDelimiter;
}

// The spool's reports, oldest first (the names start with the time).
std::vector<std::string> SpooledReports(const std::string& folder) {
  std::vector<std::string> names = platform::FileNamesIn(folder);
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return !EndsWith(n, kReportSuffix); }),
              names.end());
  std::sort(names.begin(), names.end());
  return names;
}

// The creation time a spool file's name begins with; -1 for another name.
std::int64_t CreatedAt(const std::string& name) {
  char* end = nullptr;
  const long long created = std::strtoll(name.c_str(), &end, 10);
  return end != name.c_str() && *end == '-' ? created : -1;
}

std::string ReadWhole(const std::string& name) {
  std::string text;
  const platform::UniqueFile file(platform::OpenFile(name, platform::OpenMode::kReadExisting));
  if (!file.valid()) return text;
  char buffer[4096];
  for (long n; (n = platform::ReadFile(file.get(), buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

bool WriteWhole(const std::string& name, const std::string& text) {
  const platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kWriteTruncate);
  if (file == platform::kNoFile) return false;
  const bool written = platform::WriteFile(file, text.data(), text.size()) && platform::FlushFile(file);
  return platform::CloseFile(file) && written;
}

}  // namespace

int RetryPauseSeconds(int failedAttempts) {
  constexpr int kFirst = 5, kLongest = 600;
  int pause = kFirst;
  for (int n = 1; n < failedAttempts && pause < kLongest; ++n) pause *= 2;
  return std::min(pause, kLongest);
}

void SpoolReport(const TReportOptions& options, const std::string& target) {
  const std::string folder = WithDelimiter(options.SpoolFolder);
  platform::CreateDirectories(folder);
  // A full spool gives up its oldest reports, never the new one, and never
  // makes the worker wait.
  const std::vector<std::string> kept = SpooledReports(folder);
  for (std::size_t i = 0; i + kMaxSpooledReports <= kept.size(); ++i)
    if (platform::RemoveFile(folder + kept[i])) ++Metrics().ReportsDropped;

  const std::size_t event = target.rfind("&event=");
  const std::string id = event == std::string::npos ? "report" : target.substr(event + 7);
  const std::string name = folder + Format("%012lld-", static_cast<long long>(UnixSeconds())) + id + kReportSuffix;
  // Written whole under another name first: the retrying thread never reads
  // half a report.
  const std::string part = name + kPartSuffix;
  if (WriteWhole(part, target) && platform::MoveNoReplace(part, name)) {
    Metrics().ReportSpoolDepth = std::min(kept.size(), kMaxSpooledReports - 1) + 1;
    return;
  }
  platform::RemoveFile(part);
  ++Metrics().ReportsDropped;
}

struct TReportSpool::TState {
  explicit TState(TServerConfigPtr config) : Config(std::move(config)) {}
  const TServerConfigPtr Config;
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Stopping = false;  // guarded by Mutex
  bool Finished = false;  // guarded by Mutex
};

namespace {

// Frees itself when its body returns; shares the state with the owner, which
// may be gone by then.
class TSpoolThread : public TThread {
 public:
  explicit TSpoolThread(std::shared_ptr<TReportSpool::TState> state) : FState(std::move(state)) {
    SetFreeOnTerminate(true);
  }
  ~TSpoolThread() override {
    std::lock_guard<std::mutex> lock(FState->Mutex);
    FState->Finished = true;
    FState->Changed.notify_all();
  }

 protected:
  void Execute() override {
    std::unique_lock<std::mutex> lock(FState->Mutex);
    while (!FState->Stopping) {
      lock.unlock();
      try {
        Pass();
      } catch (...) {
        // No memory for a listing: the next pass tries again.
      }
      lock.lock();
      FState->Changed.wait_for(lock, kScanPause, [this] { return FState->Stopping; });
    }
  }

 private:
  struct TRetry {
    int Failures = 0;
    std::int64_t Due = 0;  // unix seconds; a report first seen is due at once
  };

  bool Stopping() {
    std::lock_guard<std::mutex> lock(FState->Mutex);
    return FState->Stopping;
  }

  // One look at the folder: every due report tried once, the expired ones
  // dropped, the stale parts removed.
  void Pass() {
    const TServerConfig& config = *FState->Config;
    const std::string folder = WithDelimiter(config.Report.SpoolFolder);
    const std::int64_t now = UnixSeconds();
    for (const std::string& name : platform::FileNamesIn(folder))
      if (EndsWith(name, kPartSuffix) && CreatedAt(name) >= 0 && now - CreatedAt(name) > kStalePartSeconds)
        platform::RemoveFile(folder + name);

    const std::vector<std::string> names = SpooledReports(folder);
    std::map<std::string, TRetry> retries;
    std::size_t depth = names.size();
    for (const std::string& name : names) {
      if (Stopping()) break;
      TRetry retry = FRetries.count(name) ? FRetries[name] : TRetry{};
      if (Expired(name, now)) {
        const std::string target = ReadWhole(folder + name);
        if (platform::RemoveFile(folder + name)) {
          --depth;
          ++Metrics().ReportsDropped;
          WriteLog(config.LogPath, Format("Report dropped after %d days undelivered: %s", config.Report.SpoolDays,
                                          target.c_str()));
        }
        continue;
      }
      if (retry.Due <= UnixSeconds()) {
        const std::string target = ReadWhole(folder + name);
        ++Metrics().ReportsRetried;
        if (!target.empty() && DeliverReport(config.ReportHost, target, config.Report.SigningKey)) {
          ++Metrics().ReportsDelivered;
          // A report that stays on disk would be sent again: the event id
          // lets the web service see that it already has it.
          if (platform::RemoveFile(folder + name)) --depth;
          continue;
        }
        ++retry.Failures;
        retry.Due = UnixSeconds() + RetryPauseSeconds(retry.Failures);
      }
      retries[name] = retry;
    }
    FRetries = std::move(retries);
    Metrics().ReportSpoolDepth = depth;
  }

  bool Expired(const std::string& name, std::int64_t now) const {
    const std::int64_t created = CreatedAt(name);
    return created >= 0 && now - created > static_cast<std::int64_t>(FState->Config->Report.SpoolDays) * 86400;
  }

  const std::shared_ptr<TReportSpool::TState> FState;
  std::map<std::string, TRetry> FRetries;  // by file name, of this run only
};

}  // namespace

TReportSpool::TReportSpool(TServerConfigPtr config) : FState(std::make_shared<TState>(std::move(config))) {
  auto thread = std::make_unique<TSpoolThread>(FState);
  thread->Resume();
  thread.release();  // it frees itself
}

TReportSpool::~TReportSpool() {
  std::unique_lock<std::mutex> lock(FState->Mutex);
  FState->Stopping = true;
  FState->Changed.notify_all();
  FState->Changed.wait_for(lock, kStopWait, [this] { return FState->Finished; });
}
