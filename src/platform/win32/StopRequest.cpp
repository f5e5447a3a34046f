#include "platform/StopRequest.h"

#include <windows.h>

namespace platform {

static HANDLE stopEvent = nullptr;

static BOOL WINAPI OnConsoleControl(DWORD) {
  ::SetEvent(stopEvent);
  return TRUE;
}

void PrepareStopRequest() {
  stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopRequest() { ::WaitForSingleObject(stopEvent, INFINITE); }

}  // namespace platform
