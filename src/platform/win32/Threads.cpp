#include "platform/Threads.h"

#include <process.h>
#include <windows.h>

namespace platform {

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
};

unsigned __stdcall Trampoline(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.body(s.argument);
  return 0;
}

}  // namespace

bool StartThread(void (*body)(void*), void* argument, std::size_t stackBytes, ThreadHandle& handle) {
  Start* start = new Start{body, argument};
  // The size reserves address space; pages are committed as the stack grows.
  const std::uintptr_t thread = ::_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), Trampoline, start,
                                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) {
    delete start;
    return false;
  }
  handle = static_cast<ThreadHandle>(thread);
  return true;
}

void JoinThread(ThreadHandle handle) {
  HANDLE thread = reinterpret_cast<HANDLE>(handle);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

void DetachThread(ThreadHandle handle) { ::CloseHandle(reinterpret_cast<HANDLE>(handle)); }

}  // namespace platform
