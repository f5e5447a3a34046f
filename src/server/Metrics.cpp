#include "server/Metrics.h"

TMetrics& Metrics() {
  static auto* metrics = new TMetrics;
  return *metrics;
}

void CountDownload(std::int32_t result) {
  if (result >= 0 && result < kResultCodeCount) ++Metrics().Downloads[result];
}

void CountUpload(std::int32_t result, bool endedEarly) {
  if (endedEarly)
    ++Metrics().UploadsEndedEarly;
  else if (result >= 0 && result < kResultCodeCount)
    ++Metrics().Uploads[result];
}
