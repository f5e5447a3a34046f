#pragma once
// Result codes with their texts. Format and the daily log, which shared this
// header once, live in base/ now; they stay included for their many users.

#include <cstdint>
#include <string>

#include "base/DailyLog.h"
#include "base/Format.h"

// The codes that reply headers carry and log lines name by their text.
enum ResultCode : std::int32_t {
  rcSuccess = 0,
  rcDiskFull = 1,
  rcFileNotFound = 2,
  rcNoPermission = 3,
  rcReadOnly = 4,
  rcFileExists = 5,
  rcNoDirectory = 6,
  rcMakeDirectory = 7,
  rcNoDisk = 8,
  rcSizeMismatch = 9,
  rcOpenFile = 10,
  rcSeekFile = 11,
  rcReadFile = 12,
  rcWriteFile = 13,
  rcCloseFile = 14,
  rcConnect = 15,
  rcReadTimeout = 16,
  rcWriteTimeout = 17,
  rcProtocol = 18,
  rcStopRequest = 19,
  rcGeneral = 20,
  rcUserStop = 21,
  rcFileWriteError = 23,
  // A digest request found every turn taken (it has no text of its own);
  // the client may ask again.
  rcBusy = 24,
};

// The fixed text of a result code; any code without one (22, negative or
// above 23) gets "[n] ..." with the code in signed decimal. Windows builds
// return code page 949 bytes, POSIX builds UTF-8.
std::string ResultText(std::int32_t code);
