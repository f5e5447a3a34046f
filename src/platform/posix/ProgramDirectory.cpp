#include "platform/ProgramDirectory.h"

namespace platform {

const char kFallbackDirectory[] = "/opt/vardex/";

}  // namespace platform
