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

// The console has no request to reload: a service under the manager gets
// its own control for that.
ConsoleRequest WaitForConsoleRequest() {
  ::WaitForSingleObject(stopEvent, INFINITE);
  return ConsoleRequest::kStop;
}

}  // namespace platform
