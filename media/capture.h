// Screen capture: the display record and the capture rules that need no Windows calls. The
// capturer itself (duplication with a GDI fallback) and the monitor enumeration build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One display.
struct MonitorInfo {
    uint32_t index = 0;  // display number, assigned by sortMonitors
    // The whole monitor area in virtual-screen pixels (not the work area).
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool primary = false;
    double scale = 1.0;       // DPI scale (effective DPI / 96)
    std::wstring deviceName;  // as the system names the display device, compared exactly
};

// The order the whole system numbers displays by: the primary monitor first, then by left edge;
// `index` becomes the position. Monitors that tie keep their order.
void sortMonitors(std::vector<MonitorInfo>& monitors);

#ifdef _WIN32
struct HMONITOR__;
// Every display, in the order sortMonitors gives, each with its DPI scale. Monitors whose
// information cannot be read are left out.
std::vector<MonitorInfo> listMonitors();
// The monitor's effective DPI / 96; 1.0 when it cannot be read.
double monitorScale(HMONITOR__* monitor);
#endif

// GDI capture grabs at most once per 33 ms. Given the time since the last grab and the caller's
// time-out, how long to sleep instead of grabbing (min(time-out, rest of the interval + 1 ms), not
// below 0), or none when a grab is due.
constexpr int64_t kGdiGrabIntervalNs = 33'000'000;
std::optional<int> gdiSleepMs(int64_t elapsedNs, int timeoutMs);

// Copies `height` rows of width x 4 bytes, `srcPitch` bytes apart, into `out` with no gaps
// (pitch width x 4). False, and `out` untouched, for a side of 0 or less or a pitch below width x 4.
bool copyImageRows(std::vector<uint8_t>& out, const uint8_t* src, int64_t srcPitch, int width, int height);

// Whether a BGRA image differs from the one seen last, byte for byte. The first image, and one of
// another size, count as changed; a changed image becomes the one to compare against.
class ChangeDetector {
public:
    bool changed(const uint8_t* pixels, int width, int height, int64_t pitch);
    void reset();  // the next image counts as changed

private:
    std::vector<uint8_t> last_;  // tightly packed
    int width_ = 0, height_ = 0;
    bool valid_ = false;
};
