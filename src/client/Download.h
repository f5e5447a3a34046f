#pragma once
// `vardex get`: one download conversation, "DNLD" then "DL01" and its data
// phase, appending to LOCAL as the bytes arrive.
//
// LOCAL's size is the resume position (FILEPOS) unless the request restarts.
// FILESIZE is the request's size when given; otherwise FILEPOS + 1, which
// the server's size check accepts for any file not shorter than LOCAL by
// 10 MiB or more, and which streams the whole rest of the file.

#include "client/Transfer.h"

TransferOutcome RunDownload(const TransferRequest& request, const ProgressFn& progress);
