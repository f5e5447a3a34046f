#include "server/LiveAccess.h"

#include <utility>

#include "platform/Clock.h"

TLiveAccess::TLiveAccess(TAccessRules rules) : FRules(std::make_shared<const TAccessRules>(std::move(rules))) {}

std::shared_ptr<const TAccessRules> TLiveAccess::Rules() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FRules;
}

void TLiveAccess::Replace(TAccessRules rules) {
  auto replacement = std::make_shared<const TAccessRules>(std::move(rules));
  std::lock_guard<std::mutex> hold(FLock);
  FRules = std::move(replacement);
}

std::int64_t TLiveAccess::Now() { return platform::SteadyMicroseconds() / 1000000; }
