#include "platform/ProgramDirectory.h"

namespace platform {

const char kFallbackDirectory[] = "C:\\Vardex\\";

}  // namespace platform
