#include "transfer/ProcessThread.h"

void TProcessThread::doUpload() {}
