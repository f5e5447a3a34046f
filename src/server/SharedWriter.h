#pragma once
// One writer per file across instances that share a volume. Two bytes far
// beyond any real data of the file itself are locked: the writer byte by
// whoever writes the file, the claim byte by a newer upload that waits for
// it. A writer that sees the claim byte taken ends its upload as if its
// client had closed and lets go. Being locks of the shared file system, they
// need no server of their own and die with their holder; where the file
// system keeps no locks, uploads go on as on a single instance. A lock call
// that fails on a file system that keeps them refuses the upload: writing
// unprotected could mix two uploads' bytes.

#include <functional>

#include "platform/Files.h"

class TSharedWriter {
 public:
  enum class Result {
    kWriter,      // the file is this writer's (or the file system keeps no locks)
    kInUse,       // the older writer did not let go in time
    kLockFailed,  // a lock call failed; Error() tells why
  };

  TSharedWriter() = default;
  ~TSharedWriter() { Release(); }
  TSharedWriter(const TSharedWriter&) = delete;
  TSharedWriter& operator=(const TSharedWriter&) = delete;

  // Becomes the writer of the open `file`: takes the claim byte, which asks
  // any writer elsewhere to let go, waits up to `seconds` for the writer
  // byte, then gives the claim back. While held, `cut` runs once (on a
  // watcher thread) when a newer upload claims the file.
  Result Acquire(platform::FileHandle file, std::function<void()> cut, int seconds);
  // The system's error number of the lock call that failed.
  int Error() const { return FError; }

  // Lets go of the writer byte; before the file is closed. Idempotent.
  void Release();

 private:
  platform::FileHandle FFile = platform::kNoFile;
  int FError = 0;
};
