#pragma once
// The console's or the init system's requests to a program that runs in the
// foreground: to stop (SIGTERM and SIGINT on POSIX; Ctrl+C, Ctrl+Break and
// the console's close on Windows) and, on POSIX, to read its configuration
// again (SIGHUP).

namespace platform {

enum class ConsoleRequest { kStop, kReload };

// Must run before any other thread exists, so that the requests reach only
// WaitForConsoleRequest.
void PrepareStopRequest();

// Blocks until a request arrives; each call takes the next one.
ConsoleRequest WaitForConsoleRequest();

}  // namespace platform
