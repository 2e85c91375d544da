#include <cstdlib>

#include "core/frame_trace.h"

std::string frameTraceSetting() {
    const char* value = std::getenv(kFrameTraceVariable);
    return value ? value : "";
}

std::FILE* openFrameTraceFile(const std::string& path) { return std::fopen(path.c_str(), "ab"); }
