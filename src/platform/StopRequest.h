#pragma once
// The console's or the init system's request to stop a program that runs in
// the foreground: SIGTERM and SIGINT on POSIX, Ctrl+C, Ctrl+Break and the
// console's close on Windows.

namespace platform {

// Must run before any other thread exists, so that the request reaches only
// WaitForStopRequest.
void PrepareStopRequest();

// Blocks until a stop request arrives; each call takes the next one.
void WaitForStopRequest();

}  // namespace platform
