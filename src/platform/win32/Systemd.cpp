#include "platform/Systemd.h"

namespace platform {

// Windows has no init system to tell: the service manager learns the state
// from the status reports, the console from the log.
void NotifyReady() {}
void NotifyStopping(std::uint32_t) {}

}  // namespace platform
