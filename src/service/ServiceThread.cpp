#include "service/ServiceThread.h"

#include <exception>

#include "base/Format.h"
#include "service/Service.h"
#include "service/SystemError.h"

namespace {

enum ControlCode : std::uint32_t {
  kStop = 1,
  kPause = 2,
  kContinue = 3,
  kInterrogate = 4,
  kShutdown = 5,
  kParamChange = 6
};

const char* ActionWord(std::uint32_t code) {
  static const char* const kWords[] = {"stop", "pause", "continue", "interrogate", "shutdown", "parameter change"};
  return code >= kStop && code <= kParamChange ? kWords[code - 1] : nullptr;
}

}  // namespace

TServiceThread::TServiceThread(TService& service) : FService(service) {}

void TServiceThread::PostControl(std::uint32_t code) {
  std::lock_guard<std::mutex> lock(FMutex);
  const platform::ThreadId thread = FThreadId;
  if (thread == 0 || !platform::PostMessageToThread(thread, kControlMessage, code, 0)) return;
  ++FQueuedControls;
  FControlQueued.notify_all();
}

void TServiceThread::Execute() {
  // The queue comes first: every control posted from here on waits in it
  // until the start handler has returned.
  platform::CreateMessageQueue();
  FThreadId = platform::CurrentThreadId();
  try {
    FService.ReportStatus(csStartPending);
    if (!FService.DoStart()) return;
  } catch (...) {
    FService.LogFailure("start", std::current_exception());
    return;
  }
  try {
    FService.ReportStatus(csRunning);
    FService.DoExecute();
    ProcessRequests(false);
  } catch (...) {
    FService.LogFailure("execute", std::current_exception());
  }
}

void TServiceThread::ProcessRequests(bool wait) {
  for (;;) {
    if (wait && Terminated()) return;
    platform::ThreadMessage message;
    if (!platform::TakeMessage(message, wait) || message.message == platform::kQuitMessage) return;
    // Nothing but control codes is addressed to this thread.
    if (message.message != kControlMessage) continue;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      --FQueuedControls;
    }
    HandleControl(static_cast<std::uint32_t>(message.wParam));
  }
}

void TServiceThread::HandleControl(std::uint32_t code) {
  const TCurrentStatus remembered = FService.Status();
  try {
    if (!ActOn(code)) FService.ReportStatus(remembered);
  } catch (...) {
    // A failed shutdown leaves the service stop pending: it ends anyway.
    if (code != kShutdown) FService.ReportStatus(remembered);
    if (const char* action = ActionWord(code))
      FService.LogFailure(action, std::current_exception());
    else
      FService.LogEvent(TEventId::CustomControlFailed,
                        {std::to_string(code), ExceptionMessage(std::current_exception())});
  }
}

// False when the handler refused the request.
bool TServiceThread::ActOn(std::uint32_t code) {
  switch (code) {
    case kStop: {
      FService.ReportStatus(csStopPending);
      const bool stopped = FService.DoStop();
      if (stopped) Terminate();
      return stopped;
    }
    case kPause: {
      FService.ReportStatus(csPausePending);
      const bool paused = FService.DoPause();
      if (paused) {
        FService.ReportStatus(csPaused);
        Suspend();
      }
      return paused;
    }
    case kContinue: {
      FService.ReportStatus(csContinuePending);
      const bool continued = FService.DoContinue();
      if (continued) FService.ReportStatus(csRunning);
      return continued;
    }
    case kInterrogate:
      FService.ReportStatus(FService.Status());
      return true;
    case kShutdown:
      FService.ReportStatus(csStopPending);
      try {
        FService.DoShutdown();
      } catch (...) {
        Terminate();
        throw;
      }
      Terminate();
      return true;
    case kParamChange:
      FService.DoParamChange();
      return true;
    default:
      FService.DoCustomControl(code);
      return true;
  }
}

void TServiceThread::Suspend() {
  // Waiting for the next queued control rather than for a wake-up call
  // cannot miss a continue that arrives before the thread is suspended.
  std::unique_lock<std::mutex> lock(FMutex);
  FControlQueued.wait(lock, [this] { return FQueuedControls > 0; });
}
