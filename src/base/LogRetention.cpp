#include "base/LogRetention.h"

#include <chrono>
#include <cstddef>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// The date a daily file of `stem` carries in its name, as a day count;
// false for every other name.
bool DailyFileDay(const std::string& name, const std::string& stem, std::chrono::sys_days& day) {
  constexpr std::size_t kDateDigits = 8;
  if (name.size() != stem.size() + kDateDigits + 4 || name.compare(0, stem.size(), stem) != 0 ||
      name.compare(stem.size() + kDateDigits, 4, ".log") != 0)
    return false;
  int digits[kDateDigits];
  for (std::size_t i = 0; i < kDateDigits; ++i) {
    const char c = name[stem.size() + i];
    if (c < '0' || c > '9') return false;
    digits[i] = c - '0';
  }
  const std::chrono::year_month_day date{
      std::chrono::year{digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3]},
      std::chrono::month{static_cast<unsigned>(digits[4] * 10 + digits[5])},
      std::chrono::day{static_cast<unsigned>(digits[6] * 10 + digits[7])}};
  if (!date.ok()) return false;
  day = std::chrono::sys_days{date};
  return true;
}

std::chrono::sys_days DayOf(const platform::LocalTime& time) {
  return std::chrono::sys_days{std::chrono::year{time.year} / time.month / time.day};
}

bool SameDate(const platform::LocalTime& a, const platform::LocalTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

// How often the thread looks at the clock; a sweep comes at most this late
// after midnight.
constexpr auto kClockLook = std::chrono::seconds(30);

}  // namespace

int PruneDailyLogs(const std::string& prefix, int keepDays, const platform::LocalTime& today) {
  if (keepDays <= 0) return 0;
  const std::string folder = platform::DirectoryPart(prefix);
  const std::string stem = prefix.substr(folder.size());
  const std::chrono::sys_days oldestKept = DayOf(today) - std::chrono::days{keepDays};
  int removed = 0;
  for (const std::string& name : platform::FileNamesIn(folder.empty() ? "." : folder)) {
    std::chrono::sys_days day;
    if (!DailyFileDay(name, stem, day) || day >= oldestKept) continue;
    if (platform::RemoveFile(folder + name)) {
      ++removed;
      WriteLog(prefix, Format("Log retention: removed %s (KeepDays=%d)", name.c_str(), keepDays));
    } else {
      WriteLog(prefix, Format("Log retention: cannot remove %s, %s; tried again tomorrow", name.c_str(),
                              platform::ErrorText(platform::LastError()).c_str()));
    }
  }
  return removed;
}

TLogRetention::TLogRetention(std::string prefix, int keepDays) : FPrefix(std::move(prefix)), FKeepDays(keepDays) {
  Resume();
}

TLogRetention::~TLogRetention() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  WaitFor();
}

void TLogRetention::Execute() {
  // A sweep that fails (no memory for the listing) is tried at the next
  // change of date; the thread goes on.
  const auto sweep = [this](const platform::LocalTime& today) {
    try {
      PruneDailyLogs(FPrefix, FKeepDays, today);
    } catch (...) {
    }
  };
  platform::LocalTime swept = platform::LocalNow();
  sweep(swept);
  std::unique_lock<std::mutex> lock(FMutex);
  while (!FWake.wait_for(lock, kClockLook, [this] { return FStopping; })) {
    const platform::LocalTime now = platform::LocalNow();
    if (SameDate(now, swept)) continue;
    swept = now;
    lock.unlock();
    sweep(swept);
    lock.lock();
  }
}
