#pragma once
// `vardex put`: one upload conversation, "UPLD", "UP01" (the disk check),
// "UP02" (the server's resume offer), "UP03" (the position the client sends
// from), then LOCAL's bytes from that position.
//
// The offer is taken when it is not larger than LOCAL; a larger one means
// the server's file is not a prefix of LOCAL, and the upload stops unless the
// request restarts at 0. While the bytes go out the connection is watched,
// so that an error header from the server ends the upload at once; after the
// last byte the sending side is closed and the client waits for the server
// to close the connection, which is how it ends a completed upload.

#include "client/Transfer.h"

TransferOutcome RunUpload(const TransferRequest& request, const ProgressFn& progress);
