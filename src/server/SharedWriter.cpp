#include "server/SharedWriter.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/FileLocks.h"

namespace {

// Far beyond the end of any file, and below 2^63 for file systems that
// take lock offsets as signed.
constexpr std::int64_t kWriterByte = std::int64_t{1} << 62;
constexpr std::int64_t kClaimByte = kWriterByte + 1;
constexpr unsigned kWaitStepMilliseconds = 100;
// How often writers look for a claim: a newer upload waits about this long
// for an older writer that is still receiving or stalled.
constexpr unsigned kWatchMilliseconds = 500;

// The writers of this process, looked at by one thread that runs while
// there are any, so that an idle server keeps no thread for it. The lock
// calls, each of which may go to a file server and flush the file there, run
// outside the list's lock, so that a slow volume stalls no writer of another
// one. A writer's file is never closed while the watcher calls on it: Remove
// waits for that call. A cut runs under the list's lock, so it never reaches
// a writer that has gone.
class TWatcher {
 public:
  static TWatcher& Instance() {
    static auto* watcher = new TWatcher;  // never destroyed: workers may run at exit
    return *watcher;
  }

  void Add(platform::FileHandle file, std::function<void()> cut) {
    std::lock_guard<std::mutex> lock(FMutex);
    StartOnce();
    FWriters.push_back({file, std::move(cut), false});
  }

  void Remove(platform::FileHandle file) {
    std::unique_lock<std::mutex> lock(FMutex);
    FChecked.wait(lock, [&] { return FChecking != file; });
    FWriters.erase(std::remove_if(FWriters.begin(), FWriters.end(), [file](const Writer& w) { return w.file == file; }),
                   FWriters.end());
  }

 private:
  struct Writer {
    platform::FileHandle file;
    std::function<void()> cut;
    bool cutDone;
  };

  // Without its thread a writer is never asked to let go: the newer upload
  // then waits its time and is refused, as for a writer that hangs.
  void StartOnce() {
    if (FStarted) return;
    try {
      std::thread([this] { Watch(); }).detach();
      FStarted = true;
    } catch (...) {
    }
  }

  void Watch() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWatchMilliseconds));
      std::vector<platform::FileHandle> files;
      {
        std::lock_guard<std::mutex> lock(FMutex);
        if (FWriters.empty()) {
          FStarted = false;
          return;
        }
        // A pass without the memory for its list checks fewer writers; the
        // next one tries again.
        try {
          for (const Writer& writer : FWriters)
            if (!writer.cutDone) files.push_back(writer.file);
        } catch (...) {
        }
      }
      for (platform::FileHandle file : files) Check(file);
    }
  }

  // Asks whether a newer upload claims `file`, and cuts its writer if so.
  void Check(platform::FileHandle file) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (Find(file) == nullptr) return;
      FChecking = file;
    }
    const platform::LockResult claim = platform::TryLockByte(file, kClaimByte);
    if (claim == platform::LockResult::kLocked) platform::UnlockByte(file, kClaimByte);
    std::lock_guard<std::mutex> lock(FMutex);
    FChecking = platform::kNoFile;
    FChecked.notify_all();
    Writer* writer = Find(file);
    if (claim != platform::LockResult::kBusy || writer == nullptr || writer->cutDone) return;
    writer->cutDone = true;
    try {
      writer->cut();
    } catch (...) {
    }
  }

  Writer* Find(platform::FileHandle file) {
    for (Writer& writer : FWriters)
      if (writer.file == file) return &writer;
    return nullptr;
  }

  std::mutex FMutex;
  std::condition_variable FChecked;
  std::vector<Writer> FWriters;
  // The file whose claim byte the watcher is asking about right now.
  platform::FileHandle FChecking = platform::kNoFile;
  bool FStarted = false;
};

}  // namespace

TSharedWriter::Result TSharedWriter::Acquire(platform::FileHandle file, std::function<void()> cut, int seconds) {
  Release();
  FError = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool claimHeld = false;
  for (;;) {
    if (!claimHeld) {
      const platform::LockResult claim = platform::TryLockByte(file, kClaimByte);
      if (claim == platform::LockResult::kUnsupported) return Result::kWriter;
      if (claim == platform::LockResult::kFailed) {
        FError = platform::LastError();
        return Result::kLockFailed;
      }
      // The watcher of another writer may hold the byte for a moment.
      claimHeld = claim == platform::LockResult::kLocked;
    }
    if (claimHeld) {
      const platform::LockResult writer = platform::TryLockByte(file, kWriterByte);
      if (writer == platform::LockResult::kUnsupported) break;
      if (writer == platform::LockResult::kFailed) {
        FError = platform::LastError();
        platform::UnlockByte(file, kClaimByte);
        return Result::kLockFailed;
      }
      if (writer == platform::LockResult::kLocked) {
        FFile = file;
        break;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (claimHeld) platform::UnlockByte(file, kClaimByte);
      return Result::kInUse;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitStepMilliseconds));
  }
  platform::UnlockByte(file, kClaimByte);
  if (FFile != platform::kNoFile) TWatcher::Instance().Add(FFile, std::move(cut));
  return Result::kWriter;
}

void TSharedWriter::Release() {
  if (FFile == platform::kNoFile) return;
  TWatcher::Instance().Remove(FFile);
  platform::UnlockByte(FFile, kWriterByte);
  FFile = platform::kNoFile;
}
