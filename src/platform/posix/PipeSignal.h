#pragma once
// SIGPIPE and the threads that hold it back for their whole life.

namespace platform {

// True on a thread that StartThread made: SIGPIPE stays blocked there from
// its start to its end, so a send without MSG_NOSIGNAL needs no mask
// changes around it.
bool PipeSignalHeldForLife();

}  // namespace platform
