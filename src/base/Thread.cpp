#include "base/Thread.h"

#include <cerrno>
#include <system_error>

TThread::~TThread() { WaitFor(); }

void TThread::Resume() {
  // Read before the start: a thread that frees itself may be gone right after.
  const bool freeOnTerminate = FFreeOnTerminate;
  platform::ThreadHandle thread = 0;
  if (!platform::StartThread(Run, this, kStackBytes, thread))
    throw std::system_error(EAGAIN, std::generic_category(), "thread creation failed");
  if (freeOnTerminate) {
    platform::DetachThread(thread);
  } else {
    FThread = thread;
    FJoinable = true;
  }
}

void TThread::WaitFor() {
  if (!FJoinable) return;
  FJoinable = false;
  platform::JoinThread(FThread);
}

void TThread::Run(void* object) {
  TThread* thread = static_cast<TThread*>(object);
  try {
    thread->Execute();
  } catch (...) {
  }
  if (thread->FFreeOnTerminate) {
    try {
      delete thread;
    } catch (...) {
    }
  }
}
