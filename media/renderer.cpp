#include "media/renderer.h"

#include <algorithm>

Viewport letterbox(int32_t pictureWidth, int32_t pictureHeight, int32_t backWidth, int32_t backHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return {};
    const double s = std::min(double(backHeight) / pictureHeight, double(backWidth) / pictureWidth);
    Viewport v;
    v.width = float(pictureWidth * s);
    v.height = float(pictureHeight * s);
    v.x = (float(backWidth) - v.width) * 0.5f;
    v.y = (float(backHeight) - v.height) * 0.5f;
    return v;
}

PixelSize uploadSize(int32_t frameWidth, int32_t frameHeight) {
    return {std::max(frameWidth, 0) & ~1, std::max(frameHeight, 0) & ~1};
}

PixelSize backBufferSize(int32_t clientWidth, int32_t clientHeight) {
    return {std::max(clientWidth, 1), std::max(clientHeight, 1)};
}

std::array<float, 4> rangeConstants(bool fullRange) {
    constexpr float neutral = 128.0f / 255.0f;
    if (fullRange) return {0.0f, 1.0f, 1.0f, neutral};
    return {16.0f / 255.0f, 255.0f / 219.0f, 255.0f / 224.0f, neutral};
}

bool RecoveryPacer::attempt(int64_t nowNs) {
    constexpr int64_t kIntervalNs = 1'000'000'000;
    // A clock that went backwards allows an attempt rather than none for as long.
    if (tried_ && nowNs - lastAttemptNs_ < kIntervalNs && nowNs >= lastAttemptNs_) return false;
    tried_ = true;
    lastAttemptNs_ = nowNs;
    return true;
}

bool RecoveryPacer::logFailure(const std::string& failure) {
    if (failure == lastLogged_) return false;
    lastLogged_ = failure;
    return true;
}

void RecoveryPacer::recovered() { *this = RecoveryPacer(); }
