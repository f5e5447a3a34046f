#include "transfer/ProcessThread.h"

void TProcessThread::doDownload() {}
