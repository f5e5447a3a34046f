#include "platform/StopRequest.h"

#include <windows.h>

namespace platform {

static HANDLE stopEvent = nullptr;

static BOOL WINAPI OnConsoleControl(DWORD) {
  ::SetEvent(stopEvent);
  return TRUE;
}

void PrepareStopRequest() {
  // Auto-reset: each wait takes one request.
  stopEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopRequest() { ::WaitForSingleObject(stopEvent, INFINITE); }

}  // namespace platform
