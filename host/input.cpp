#include "host/input.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/config/keys.h"
#include "core/text.h"
#include "core/util.h"
#include "host/protocol/keymap.h"
#include "host/protocol/messages.h"

namespace {

struct ButtonFlags {
    uint32_t down, up, data;
};
constexpr ButtonFlags kButtons[] = {
    {InputRecord::kLeftDown, InputRecord::kLeftUp, 0},
    {InputRecord::kRightDown, InputRecord::kRightUp, 0},
    {InputRecord::kMiddleDown, InputRecord::kMiddleUp, 0},
    {InputRecord::kXDown, InputRecord::kXUp, InputRecord::kXButton1},
    {InputRecord::kXDown, InputRecord::kXUp, InputRecord::kXButton2},
};
constexpr int kButtonCount = int(std::size(kButtons));

// A wheel amount beyond what the system's 16-bit wheel field can carry is cut to it.
constexpr int64_t kMaxWheel = 32767;

constexpr size_t kTextBatch = 32;

// Cuts one wheel sum to whole units and keeps the rest for the next event. A sum beyond the
// limit is clamped and leaves no remainder, so one absurd event cannot drive every later one.
int32_t takeWholeWheel(float sum, float& remainder) {
    const int64_t whole = checkedTrunc(double(sum), -kMaxWheel, kMaxWheel, 0);
    remainder = std::fabs(sum) < float(kMaxWheel) ? sum - float(whole) : 0.0f;
    return int32_t(whole);
}

#ifndef _WIN32
// Builds without a system input facility accept nothing.
class NoInputBackend : public InputBackend {
public:
    size_t send(std::span<const InputRecord>) override { return 0; }
    uint32_t lastError() override { return 0; }
    VirtualScreen virtualScreen() override { return {}; }
    void lockWorkStation() override {}
};
#endif

}  // namespace

#ifndef _WIN32
std::unique_ptr<InputBackend> makeSystemInputBackend() { return std::make_unique<NoInputBackend>(); }
#endif

bool FailureLogThrottle::allow(int64_t nowNs) {
    int64_t last = last_.load();
    if (last != kNever && nowNs - last < interval_) return false;
    return last_.compare_exchange_strong(last, nowNs);  // false: another thread got there first
}

FailureLogThrottle& injectFailureThrottle() {
    static auto* throttle = new FailureLogThrottle(5'000'000'000);
    return *throttle;
}

bool logInjectFailure(const std::string& what, uint32_t errorCode, FailureLogThrottle& throttle) {
    if (!throttle.allow(nowNanos())) return false;
    logLine(what + " 입력을 넣지 못함 (오류 " + std::to_string(errorCode) +
            ") \xE2\x80\x94 관리자 권한 창이 앞에 있을 수 있음");
    return true;
}

InputInjector::InputInjector() : InputInjector(makeSystemInputBackend()) {}

InputInjector::InputInjector(std::unique_ptr<InputBackend> backend) : backend_(std::move(backend)) {}

void InputInjector::setTarget(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    std::lock_guard lock(mutex_);
    left_ = left;
    top_ = top;
    right_ = right;
    bottom_ = bottom;
}

ScreenPoint InputInjector::mapPointLocked(float x, float y) const {
    // NaN would pass a clamp and poison the rounding; a non-finite fraction counts as 0.
    auto axis = [](float f, int32_t lo, int32_t hi) {
        if (!std::isfinite(f)) f = 0;
        f = std::clamp(f, 0.0f, 1.0f);
        const int64_t span = std::max<int64_t>(0, int64_t(hi) - lo - 1);
        // Rounds half away from zero: the product is not negative and exact in a double.
        const float scaled = float(span) * f;
        return int32_t(int64_t(lo) + checkedTrunc(double(scaled) + 0.5, 0, span, 0));
    };
    return {axis(x, left_, right_), axis(y, top_, bottom_)};
}

ScreenPoint InputInjector::mapPoint(float x, float y) {
    std::lock_guard lock(mutex_);
    return mapPointLocked(x, y);
}

void InputInjector::sendMouseLocked(uint32_t flags, uint32_t mouseData, ScreenPoint point) {
    const VirtualScreen vs = backend_->virtualScreen();
    const int64_t w = vs.width < 2 ? 1 : int64_t(vs.width) - 1;
    const int64_t h = vs.height < 2 ? 1 : int64_t(vs.height) - 1;
    int64_t dx = ((int64_t(point.x) - vs.left) * 65535 + w / 2) / w;
    int64_t dy = ((int64_t(point.y) - vs.top) * 65535 + h / 2) / h;
    // A target reaching past the virtual screen stays on its edge.
    dx = std::clamp<int64_t>(dx, 0, 65535);
    dy = std::clamp<int64_t>(dy, 0, 65535);
    const InputRecord r = InputRecord::mouse(
        flags | InputRecord::kMouseMove | InputRecord::kVirtualDesk | InputRecord::kAbsolute, mouseData,
        int32_t(dx), int32_t(dy));
    if (backend_->send({&r, 1}) != 1) logInjectFailure("마우스", backend_->lastError());
}

void InputInjector::sendMouse(uint32_t flags, uint32_t mouseData, ScreenPoint point) {
    std::lock_guard lock(mutex_);
    sendMouseLocked(flags, mouseData, point);
}

void InputInjector::mouse(uint8_t action, uint8_t button, float x, float y) {
    if (action != 0 && button >= kButtonCount) return;  // no such button
    std::lock_guard lock(mutex_);
    if (std::isfinite(x) && std::isfinite(y)) {
        last_ = mapPointLocked(x, y);
    } else if (action == 0 || action == 1) {
        return;  // no place to move to or press at
    }
    // A release without a usable place still happens, at the last position, so no button stays down.
    if (action == 0) {
        sendMouseLocked(0, 0, last_);
    } else if (action == 1) {
        sendMouseLocked(kButtons[button].down, kButtons[button].data, last_);
        heldButtons_.insert(button);
    } else {
        sendMouseLocked(kButtons[button].up, kButtons[button].data, last_);
        heldButtons_.erase(button);
    }
}

void InputInjector::wheel(float horizontal, float vertical, bool precise) {
    const float scale = precise ? 2.5f : 120.0f;
    if (!std::isfinite(horizontal)) horizontal = 0;
    if (!std::isfinite(vertical)) vertical = 0;
    std::lock_guard lock(mutex_);
    const int32_t h = takeWholeWheel(wheelRemainderX_ + horizontal * scale, wheelRemainderX_);
    const int32_t v = takeWholeWheel(wheelRemainderY_ + vertical * scale, wheelRemainderY_);
    InputRecord records[2];
    size_t n = 0;
    if (v != 0) records[n++] = InputRecord::mouse(InputRecord::kWheel, uint32_t(v), 0, 0);
    if (h != 0) records[n++] = InputRecord::mouse(InputRecord::kHWheel, uint32_t(-h), 0, 0);
    if (n) backend_->send({records, n});
}

void InputInjector::keyLocked(uint16_t macCode, bool down) {
    uint16_t scan = 0, vk = 0;
    bool extended = false;
    if (!macKeyToPc(macCode, scan, extended, vk)) return;
    uint32_t flags = (down ? 0 : InputRecord::kKeyUp) | (extended ? InputRecord::kKeyExtended : 0);
    if (vk == 0) flags |= InputRecord::kKeyScanCode;
    const InputRecord r = InputRecord::key(vk, scan, flags);
    if (backend_->send({&r, 1}) != 1) logInjectFailure("키", backend_->lastError());
    if (down)
        heldKeys_.insert(macCode);
    else
        heldKeys_.erase(macCode);
}

void InputInjector::key(uint16_t macCode, bool down) {
    std::lock_guard lock(mutex_);
    keyLocked(macCode, down);
}

void InputInjector::combo(const std::vector<uint16_t>& codes) {
    if (codes.empty()) return;
    if (codes.size() == 2 && (codes[0] == 54 || codes[0] == 55) && codes[1] == 37) {
        backend_->lockWorkStation();  // Command+L locks the screen
        return;
    }
    const size_t n = std::min(codes.size(), kComboLimit);
    for (size_t i = 0; i < n; ++i) {
        key(codes[i], true);
        sleepMs(10);
    }
    for (size_t i = n; i-- > 0;) {
        key(codes[i], false);
        sleepMs(10);
    }
}

void InputInjector::releaseAll() {
    std::lock_guard lock(mutex_);
    const std::vector<uint16_t> keys(heldKeys_.begin(), heldKeys_.end());
    for (uint16_t k : keys) keyLocked(k, false);
    for (int b : heldButtons_) sendMouseLocked(kButtons[b].up, kButtons[b].data, last_);
    heldKeys_.clear();
    heldButtons_.clear();
}

void InputInjector::typeText(const std::string& utf8) {
    std::u16string units = utf8ToUtf16(utf8);
    std::vector<InputRecord> records;
    records.reserve(units.size() * 2);
    auto press = [&](uint16_t vk, uint16_t scan, uint32_t flags) {
        records.push_back(InputRecord::key(vk, scan, flags));
        records.push_back(InputRecord::key(vk, scan, flags | InputRecord::kKeyUp));
    };
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u == u'\t') {
            press(InputRecord::kVkTab, 0, 0);
        } else if (u == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
            // the line feed that follows gives the Enter
        } else if (u == u'\n' || u == u'\r') {
            press(InputRecord::kVkReturn, 0, 0);
        } else {
            press(0, uint16_t(u), InputRecord::kKeyUnicode);
        }
    }
    for (size_t at = 0; at < records.size(); at += kTextBatch) {
        const size_t n = std::min(kTextBatch, records.size() - at);
        if (backend_->send({records.data() + at, n}) != n) logInjectFailure("글자", backend_->lastError());
    }
    // The text may be a login password: leave no copy of it behind.
    wipeSecret(units.data(), units.size() * sizeof(char16_t));
    wipeSecret(records.data(), records.size() * sizeof(InputRecord));
}

std::set<int> InputInjector::heldButtons() {
    std::lock_guard lock(mutex_);
    return heldButtons_;
}

std::set<uint16_t> InputInjector::heldKeys() {
    std::lock_guard lock(mutex_);
    return heldKeys_;
}
