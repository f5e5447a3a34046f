#pragma once
// One writer per file. A client whose connection died without a close (its
// network gone) reconnects and resumes while the old worker still waits in
// its receive; the newer upload wins, so that two connections never write one
// file at once and the resume offer is a size whose bytes are on disk.

#include <atomic>
#include <string>

#include "transfer/SocketLib.h"

class TUploadClaim {
 public:
  TUploadClaim() = default;
  ~TUploadClaim() { Release(); }
  TUploadClaim(const TUploadClaim&) = delete;
  TUploadClaim& operator=(const TUploadClaim&) = delete;

  // Makes the connection on `socket` the only writer of `fileName` (names
  // are compared where they lead, ignoring case on Windows). A connection
  // writing it already has its receiving cut, so that it ends as if its
  // client had closed; this waits up to `seconds` until it has closed the
  // file and let go. False when it has not: the file stays the other's.
  bool Claim(const std::string& fileName, TSocket socket, int seconds);

  // Lets go of the file; the next writer may open it. Idempotent.
  void Release();
  // The connection's socket is about to be closed while the file is still
  // held (the completion steps follow): a newer claim then only waits.
  void SocketClosed();
  // Waits up to `seconds` while an upload of `fileName` whose connection is
  // already closed runs its completion steps (the file may be moved away and
  // back meanwhile), so that a reader then finds the finished file.
  static void AwaitCompletion(const std::string& fileName, int seconds);
  bool Held() const { return FHeld; }
  // True once a newer claim has cut this one's receiving: a receive that
  // fails now ended because of that, not because of the client.
  bool WasCut() const { return FCut; }
  // Cuts the receiving as a newer claim would, for a newer upload of the file
  // on another instance; only while the claim is held.
  void CutForNewerWriter();

 private:
  bool FHeld = false;
  std::string FPath;
  TSocket FSocket = INVALID_SOCK;
  std::atomic<bool> FCut{false};
  friend class TUploadWriters;
};
