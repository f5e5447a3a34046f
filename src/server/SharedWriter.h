#pragma once
// One writer per file across instances that share a volume. Two bytes far
// beyond any real data of the file itself are locked: the writer byte by
// whoever writes the file, the claim byte by a newer upload that waits for
// it. A writer that sees the claim byte taken ends its upload as if its
// client had closed and lets go. Being locks of the shared file system, they
// need no server of their own and die with their holder; where the file
// system keeps no locks, uploads go on as on a single instance.

#include <functional>

#include "platform/Files.h"

class TSharedWriter {
 public:
  TSharedWriter() = default;
  ~TSharedWriter() { Release(); }
  TSharedWriter(const TSharedWriter&) = delete;
  TSharedWriter& operator=(const TSharedWriter&) = delete;

  // Becomes the writer of the open `file`: takes the claim byte, which asks
  // any writer elsewhere to let go, waits up to `seconds` for the writer
  // byte, then gives the claim back. While held, `cut` runs once (on a
  // watcher thread) when a newer upload claims the file. False when the
  // older writer did not let go in time.
  bool Acquire(platform::FileHandle file, std::function<void()> cut, int seconds);

  // Lets go of the writer byte; before the file is closed. Idempotent.
  void Release();

 private:
  platform::FileHandle FFile = platform::kNoFile;
};
