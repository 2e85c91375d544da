#include <cstdlib>

#include "core/frame_trace.h"

std::string frameTraceSetting() {
    const char* value = std::getenv(kFrameTraceVariable);
    return value ? value : "";
}
