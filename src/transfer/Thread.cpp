#include "transfer/Thread.h"

TThread::~TThread() {
  if (FThread.joinable()) FThread.join();
}

void TThread::Resume() {
  // Read before the start: a thread that frees itself may be gone right after.
  const bool freeOnTerminate = FFreeOnTerminate;
  std::thread thread(Run, this);
  if (freeOnTerminate)
    thread.detach();
  else
    FThread = std::move(thread);
}

void TThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TThread::Run(TThread* thread) {
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
