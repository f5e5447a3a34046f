#pragma once
// Many sockets watched in one wait for bytes to read, for a thread that holds
// thousands of quiet connections without a thread each. One thread waits at
// a time. A socket watched once is reported once, when it turns readable, has
// failed or its peer has closed, and is then no longer watched until it is
// armed again: the waiting thread may hand it on meanwhile. A listening
// socket is watched for as long as it is in the set. Another thread can end a
// wait at once (Wake).

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "platform/Sockets.h"
#include "platform/WakeableWait.h"

namespace platform {

class ReadinessSet {
 public:
  ReadinessSet();
  ~ReadinessSet();
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  // False when the system would not give the set; nothing can be watched then.
  bool Valid() const;

  // Reported each time it has a connection to accept.
  bool WatchListening(SocketHandle s);
  // Reported once; `again` for a socket that has been reported before and is
  // armed once more. False when the system refuses: the caller closes it.
  bool WatchOnce(SocketHandle s, bool again);
  // No longer watched, for a socket that stays open but goes elsewhere. A
  // socket that is closed leaves the set by itself.
  void Forget(SocketHandle s);

  // Waits until some sockets are ready, `milliseconds` (0 or more) have
  // passed, or Wake has been called; `ready` holds the ones reported. Their
  // number, 0 on time-out or once woken, -1 on error.
  int Wait(std::vector<SocketHandle>& ready, int milliseconds);
  // From any thread, any number of times: this and every later Wait return
  // at once.
  void Wake() { FWake.Wake(); }

 private:
  WakeableWait FWake;
  // The system's own set (epoll); unused where there is none.
  SocketHandle FHandle = kNoSocket;
  // Where the set is kept here (WSAPoll): what is watched, and where.
  std::vector<PollEntry> FEntries;
  std::vector<bool> FListening;
  std::unordered_map<SocketHandle, std::size_t> FIndex;
};

}  // namespace platform
