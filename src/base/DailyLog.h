#pragma once
// The daily log: one file a day, lines stamped with the time of day, written
// by every thread of the process.

#include <cstdint>
#include <functional>
#include <string>

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
