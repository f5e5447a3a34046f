#pragma once
// The exit statuses of the client, one per kind of outcome, so that scripts
// can tell a mistyped command from a server that said no.

enum class ExitStatus : int {
  kDone = 0,        // transferred, or nothing was left to transfer
  kLocalFile = 1,   // LOCAL cannot be read, created or written
  kUsage = 2,       // the command line is wrong
  kConnection = 3,  // no address, no connection, a wait timed out, the connection broke or the server spoke out of turn
  kRefused = 4,     // the server answered with a result code other than 0 or sent an error header
  kIncomplete = 5,  // the server ended the connection before the expected bytes had moved
  kConflict = 6,    // the server holds more of the file than LOCAL; --restart starts over
  kDiffers = 7,     // the server's file and LOCAL differ where they should hold the same bytes
  kStopped = 8,     // the caller stopped the transfer (the library's progress callback)
};

inline int ToInt(ExitStatus status) { return static_cast<int>(status); }
