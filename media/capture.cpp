#include "media/capture.h"

#include <algorithm>
#include <cstring>

void sortMonitors(std::vector<MonitorInfo>& monitors) {
    std::stable_sort(monitors.begin(), monitors.end(), [](const MonitorInfo& a, const MonitorInfo& b) {
        if (a.primary != b.primary) return a.primary;
        return a.left < b.left;
    });
    for (size_t i = 0; i < monitors.size(); ++i) monitors[i].index = uint32_t(i);
}

std::optional<int> gdiSleepMs(int64_t elapsedNs, int timeoutMs) {
    if (elapsedNs >= kGdiGrabIntervalNs) return std::nullopt;
    // A clock that went backwards waits one whole interval.
    const int64_t rest = (kGdiGrabIntervalNs - std::max<int64_t>(elapsedNs, 0)) / 1'000'000 + 1;
    return int(std::clamp<int64_t>(rest, 0, std::max(timeoutMs, 0)));
}

bool copyImageRows(std::vector<uint8_t>& out, const uint8_t* src, int64_t srcPitch, int width, int height) {
    if (width <= 0 || height <= 0 || srcPitch < int64_t(width) * 4) return false;
    const size_t row = size_t(width) * 4;
    out.resize(row * size_t(height));
    for (int y = 0; y < height; ++y) std::memcpy(out.data() + row * size_t(y), src + int64_t(y) * srcPitch, row);
    return true;
}

bool ChangeDetector::changed(const uint8_t* pixels, int width, int height, int64_t pitch) {
    const size_t row = size_t(std::max(width, 0)) * 4;
    int first = 0;  // rows before `first` are known to be unchanged
    if (valid_ && width == width_ && height == height_) {
        while (first < height && std::memcmp(last_.data() + row * size_t(first), pixels + int64_t(first) * pitch, row) == 0) {
            ++first;
        }
        if (first == height) return false;
    } else {
        last_.resize(row * size_t(std::max(height, 0)));
        width_ = width;
        height_ = height;
        valid_ = true;
    }
    for (int y = first; y < height; ++y) std::memcpy(last_.data() + row * size_t(y), pixels + int64_t(y) * pitch, row);
    return true;
}

void ChangeDetector::reset() {
    valid_ = false;
    last_.clear();
    last_.shrink_to_fit();
}
