#include "host/stream_control.h"

#include <algorithm>
#include <cmath>

#include "core/util.h"
#include "host/protocol/messages.h"

// ---- Set-up ----

SetupMode setupMode(int requestFps, bool retina, int quality) {
    SetupMode m;
    m.fps = requestFps;
    if (quality == 1) {
        m.fullPixel = false;
    } else if (quality == 2) {
        m.fps = std::min(m.fps, 30);
        m.fullPixel = true;
    } else {
        m.fullPixel = retina;
    }
    return m;
}

EncoderArea encoderArea(int regionWidth, int regionHeight, bool fullPixel, double scale, int viewWidth,
                        int viewHeight, int quality) {
    double w = regionWidth, h = regionHeight;
    if (w <= 0 || h <= 0) return {w, h};
    if (!fullPixel) {
        const double s = std::isfinite(scale) && scale > 0 ? scale : 1.0;
        w /= s;
        h /= s;
    }
    if (viewWidth > 0 && viewHeight > 0) {
        const double f = std::min(viewHeight / h, viewWidth / w);
        if (f < 1) {
            w *= f;
            h *= f;
        }
    }
    if (quality == 1) {
        const double f = std::min(1920 / std::max(w, h), 1.0);
        w *= f;
        h *= f;
    }
    const double f = std::min({4096 / w, 2304 / h, 1.0});
    return {w * f, h * f};
}

PictureSize encoderTrySize(const EncoderArea& area, int attempt) {
    static constexpr double kFactors[kEncoderTries] = {1, 0.8, 0.64, 0.512, 0.4096, 0.32768};
    const double u = kFactors[std::clamp(attempt, 0, kEncoderTries - 1)];
    auto side = [u](double v) {
        const int64_t n = checkedTrunc(v * u, 0, INT32_MAX, 0);
        return n < 64 ? 64 : int(n & ~int64_t(1));
    };
    return {side(area.width), side(area.height)};
}

BitRates setupRates(int width, int height, int fps, int quality, int currentRate) {
    const int64_t raw = int64_t(width) * height * fps / 6;
    const int target = int(std::clamp<int64_t>(raw, 6'000'000, 30'000'000));
    BitRates r;
    if (quality == 1) {
        r.ceiling = std::min(target, 8'000'000);
        r.rate = std::min(currentRate, r.ceiling);
    } else {
        r.ceiling = target;
        r.rate = std::min(currentRate, target);
        if (quality == 2) r.rate = std::max(r.rate, std::min(target, 12'000'000));
    }
    return r;
}

int steppedRate(int rate, int ceiling, int skipped, int quality) {
    if (skipped > 3) return std::max(int(rate * 0.75), quality == 2 ? 4'000'000 : 1'500'000);
    if (skipped == 0) return std::min(ceiling, int(std::min(rate * 1.1, double(INT32_MAX))));
    return rate;
}

int inFlightLimit(double minRttMs, int fps) {
    const double interval = 1000.0 / std::max(fps, 1);
    const int64_t frames = checkedTrunc(minRttMs / interval, 0, 1000, 0);
    return int(std::clamp<int64_t>(frames + 2, 3, 8));
}

void FrameWindow::sent(uint32_t frame, int64_t now) {
    pending_[frame] = now;
    ++inFlight_;
}

bool FrameWindow::acknowledged(uint32_t frame, int64_t now) {
    auto it = pending_.find(frame);
    if (it == pending_.end()) return false;
    samples_.push_back(double(now - it->second) / 1e6);
    pending_.erase(it);
    inFlight_ = std::max(0, inFlight_ - 1);
    return true;
}

void FrameWindow::reset() {
    pending_.clear();
    inFlight_ = 0;
}

void FrameWindow::step(int64_t now, int fps, int64_t expiryNs) {
    if (!samples_.empty()) minRttMs_ = *std::min_element(samples_.begin(), samples_.end());
    samples_.clear();
    limit_ = inFlightLimit(minRttMs_, fps);
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second > expiryNs) {
            it = pending_.erase(it);
            inFlight_ = std::max(0, inFlight_ - 1);
        } else {
            ++it;
        }
    }
}

// ---- Caret ----

std::string caretReport(const std::optional<ScreenRect>& field, const ScreenRect& streamed) {
    CaretMsg report;
    if (!field) return report.text();
    report.edit = true;
    const double width = double(streamed.right) - streamed.left;
    const double height = double(streamed.bottom) - streamed.top;
    const ScreenRect overlap = intersect(*field, streamed);
    if (width < 1 || height < 1 || isEmpty(overlap)) return report.text();
    report.hasRect = true;
    report.x = (overlap.left - streamed.left) / width;
    report.y = (overlap.top - streamed.top) / height;
    report.w = (double(overlap.right) - overlap.left) / width;
    report.h = (double(overlap.bottom) - overlap.top) / height;
    return report.text();
}

std::optional<std::string> CaretReports::next(const std::string& text) {
    if (text == last_) return std::nullopt;
    last_ = text;
    return text;
}

// ---- The streamed window ----

ScreenRect intersect(const ScreenRect& a, const ScreenRect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}

bool isEmpty(const ScreenRect& r) { return r.right <= r.left || r.bottom <= r.top; }

ScreenRect monitorRect(const MonitorInfo& m) { return {m.left, m.top, m.right, m.bottom}; }

WindowCheck checkWindow(const WindowState& now, const ScreenRect& atSetup, const ScreenRect& display) {
    WindowCheck check;
    if (!now.exists || !now.visible || now.minimised || !now.bounds) {
        check.action = WindowCheck::Action::Lost;
        check.minimised = now.exists;
        return check;
    }
    const ScreenRect& b = *now.bounds;
    if (b == atSetup) return check;
    const bool sameSize = b.right - b.left == atSetup.right - atSetup.left &&
                          b.bottom - b.top == atSetup.bottom - atSetup.top;
    const bool inside = b.left >= display.left && b.top >= display.top && b.right <= display.right &&
                        b.bottom <= display.bottom;
    check.action = sameSize && inside ? WindowCheck::Action::Follow : WindowCheck::Action::Reconfigure;
    check.bounds = b;
    return check;
}

size_t displayForWindow(const ScreenRect& window, const std::vector<MonitorInfo>& monitors, size_t requested) {
    size_t best = requested;
    int64_t bestArea = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const ScreenRect overlap = intersect(window, monitorRect(monitors[i]));
        if (isEmpty(overlap)) continue;
        const int64_t area = (int64_t(overlap.right) - overlap.left) * (int64_t(overlap.bottom) - overlap.top);
        if (area > bestArea) {
            bestArea = area;
            best = i;
        }
    }
    return best;
}

StreamRegion streamRegion(const std::optional<ScreenRect>& area, const ScreenRect& display, int imageWidth,
                          int imageHeight) {
    StreamRegion r{0, 0, imageWidth, imageHeight};
    if (area) {
        r.x = area->left - display.left;
        r.y = area->top - display.top;
        r.width = std::min(area->right - area->left, imageWidth - r.x);
        r.height = std::min(area->bottom - area->top, imageHeight - r.y);
    }
    auto side = [](int v) { return v < 16 ? 16 : v & ~1; };
    r.width = side(r.width);
    r.height = side(r.height);
    return r;
}

bool regionInside(const StreamRegion& r, int imageWidth, int imageHeight) {
    return r.x >= 0 && r.y >= 0 && int64_t(r.x) + r.width <= imageWidth && int64_t(r.y) + r.height <= imageHeight;
}

// ---- Status ----

int statusState(bool locked, bool curtain) { return (locked ? 1 : 0) | (curtain ? 2 : 0); }

bool newlyLocked(int previous, int now) { return (now & 1) != 0 && (previous & 1) == 0; }
