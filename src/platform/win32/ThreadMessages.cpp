#include "platform/ThreadMessages.h"

#include <stdexcept>
#include <windows.h>
#include <tlhelp32.h>

#include "platform/Files.h"

namespace platform {

ThreadId CurrentThreadId() { return ::GetCurrentThreadId(); }

void CreateMessageQueue() {
  MSG msg;
  ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool PostMessageToThread(ThreadId thread, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  return ::PostThreadMessageA(static_cast<DWORD>(thread), message, wParam, lParam) != 0;
}

bool TakeMessage(ThreadMessage& out, bool wait) {
  MSG msg{};
  if (wait) {
    if (::GetMessageA(&msg, nullptr, 0, 0) == -1) return false;
  } else if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    return false;
  }
  out = {msg.message, msg.wParam, msg.lParam};
  return true;
}

void QuitOtherThreads() {
  using SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
  using WalkFn = BOOL(WINAPI*)(HANDLE, LPTHREADENTRY32);
  // Looked up by name: without the snapshot function there is nothing to do.
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  auto snapshot = reinterpret_cast<SnapshotFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
  auto first = reinterpret_cast<WalkFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "Thread32First")));
  auto next = reinterpret_cast<WalkFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "Thread32Next")));
  if (!snapshot || !first || !next) return;

  DWORD process = ::GetCurrentProcessId();
  HANDLE handle = snapshot(TH32CS_SNAPTHREAD, process);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error(ErrorText(LastError()));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;  // 28 bytes
  DWORD self = ::GetCurrentThreadId();
  for (BOOL more = first(handle, &entry); more; more = next(handle, &entry)) {
    if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self)
      ::PostThreadMessageA(entry.th32ThreadID, WM_QUIT, 0, 0);
  }
  ::CloseHandle(handle);
}

}  // namespace platform
