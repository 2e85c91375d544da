// Display records for tests of code that places things on displays.
#pragma once

#include <cstdint>

#include "media/capture.h"

inline MonitorInfo monitorAt(int32_t left, int32_t top, int32_t right, int32_t bottom, bool primary = false,
                             double scale = 1.0) {
    MonitorInfo m;
    m.left = left;
    m.top = top;
    m.right = right;
    m.bottom = bottom;
    m.primary = primary;
    m.scale = scale;
    return m;
}
