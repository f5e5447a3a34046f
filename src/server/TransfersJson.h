#pragma once
// The status port's list of running transfers as JSON, one object per open
// connection, newest first:
//   {"transfers":[{"id":7,"client":"10.0.0.5","direction":"upload",
//     "file":"D:\\files\\a.bin","started":1765327380123,"position":1048576,
//     "size":5242880,"moved":524288,"rate":131072.0,"state":"data"}]}
// "started" is the accept, in milliseconds since 1970; "position" is where
// in the file the transfer stands now, "moved" what this connection moved;
// "rate" bytes a second over the last few seconds; "direction" is download,
// upload, digest (a file's digest asked for) or null before the handshake;
// "state" one of handshake, check, data, completion.

#include <string>
#include <vector>

#include "server/TransferProgress.h"

std::string TransfersJson(const std::vector<TTransferSnapshot>& transfers);

// `text` as a JSON string, appended to `json`.
void AddJsonString(std::string& json, const std::string& text);
