#pragma once
// Result codes with their texts, the text formatter, and the daily log.

#include <cstdint>
#include <functional>
#include <string>

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
};

// The fixed text of a result code; any code without one (22, negative or
// above 23) gets "[n] ..." with the code in signed decimal. Windows builds
// return code page 949 bytes, POSIX builds UTF-8.
std::string ResultText(std::int32_t code);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The log path prefix: a directory followed by a file-name stem. Set once at
// service start, before any thread that logs exists.
extern std::string& LogPath;

// Appends "hh:mm:ss  message\r\n" to the file prefix + yyyymmdd + ".log" of
// today, creating missing directories. False when the line could not be
// written (the file cannot be opened, or the write fails, as on a full
// volume): the line is lost, counted and reported, and the caller carries on.
bool WriteLog(const std::string& prefix, const std::string& message);

// Log lines that could not be written since the process started.
std::uint64_t LogWriteFailures();

// Where the operator hears of lost log lines (the event log, or standard
// error): the first loss after this call, then at most one report a minute,
// each with the reason and the count lost meanwhile. Set at service start,
// cleared (empty) before what it calls goes away; without one, losses are
// only counted.
void SetLogFailureReport(std::function<void(const std::string& message)> report);
