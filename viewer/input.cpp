#include "viewer/input.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "host/protocol/keymap.h"
#include "viewer/host_info.h"

namespace {

constexpr uint16_t kReturn = 36, kLeft = 123, kRight = 124, kCapsLock = 57;
// Fine-grained scroll units per Windows wheel unit (a notch of 120 is 48).
constexpr float kWheelScale = 0.4f;
constexpr int kMaxClicks = 255;

float clampUnit(double value) {
    if (!(value >= 0)) value = 0;  // NaN too
    return float(std::min(1.0, value));
}

int buttonBit(int button) { return button >= 0 && button <= 4 ? 1 << button : 0; }

bool held(const std::set<uint16_t>& keys, uint16_t left, uint16_t right) {
    return keys.count(left) > 0 || keys.count(right) > 0;
}

}  // namespace

bool clientToRemote(int x, int y, int videoWidth, int videoHeight, const Json& displayInfo, float& rx, float& ry) {
    const double W = videoWidth, H = videoHeight;
    double w = 0, h = 0;
    remoteSize(displayInfo, w, h);
    const double s = std::min(H / h, W / w);
    const double pw = w * s, ph = h * s;
    if (!(pw > 0) || !(ph > 0)) return false;
    rx = clampUnit((x - (W - pw) * 0.5) / pw);
    ry = clampUnit((y - (H - ph) * 0.5) / ph);
    return true;
}

bool hookTakesKey(const HookEvent& e) {
    return e.action && e.hasOwner && !e.injected && e.ownerForeground && e.ownerConnected && !e.ownerInMenu;
}

std::optional<uint8_t> switchedDisplay(const Json& displayInfo, int delta) {
    const int64_t n = int64_t(displayInfo.get("displays").size());
    if (n < 2) return std::nullopt;
    const int64_t current = jsonInt32(displayInfo.get("current"));
    return uint8_t((n + (delta + current) % n) % n);
}

ViewerInput::ViewerInput(ShortcutTranslator& shortcuts) : shortcuts_(shortcuts) {
    shortcuts_.output = [this](uint16_t code, bool down, bool repeat) { sendKey(code, down, repeat); };
}

void ViewerInput::emit(MsgType type, const Bytes& payload) {
    if (send) send(type, payload);
}

CaptureChange ViewerInput::mouse(MouseAction action, int button, int x, int y, uint32_t time, int videoWidth,
                                 int videoHeight, const Json& displayInfo, const ClickMetrics& metrics,
                                 const InputFacts& facts) {
    CaptureChange capture = CaptureChange::None;
    if (action == MouseAction::Release) {
        // Kept even while nothing is sent: a session that ended with a button down must not
        // leave the picture holding the mouse, or the reconnect button could not be clicked.
        buttonsDown_ &= ~buttonBit(button);
        if (buttonsDown_ == 0) capture = CaptureChange::Free;
    }
    if (!facts.session || !facts.connected) return capture;
    MouseEvent e;
    if (!clientToRemote(x, y, videoWidth, videoHeight, displayInfo, e.x, e.y)) return capture;
    if (action == MouseAction::Press) {
        const bool newRun = button != lastPressButton_ || uint32_t(time - lastPressTime_) > metrics.time ||
                            std::llabs(int64_t(x) - lastPressX_) > metrics.width ||
                            std::llabs(int64_t(y) - lastPressY_) > metrics.height;
        clickCount_ = newRun ? 1 : (clickCount_ < INT_MAX ? clickCount_ + 1 : clickCount_);
        buttonsDown_ |= buttonBit(button);
        lastPressTime_ = time;
        lastPressX_ = x;
        lastPressY_ = y;
        lastPressButton_ = button;
        capture = CaptureChange::Take;
    }
    if (action != MouseAction::Move) {
        e.action = action == MouseAction::Press ? 1 : 2;
        e.button = uint8_t(button);
        e.clicks = uint8_t(std::min(clickCount_, kMaxClicks));
    }
    e.flags = macModifierFlags(shortcuts_.outputHeld(), capsLockOn_, 0);
    emit(MsgType::Mouse, e.encode());
    return capture;
}

void ViewerInput::wheel(bool horizontal, int delta, const InputFacts& facts) {
    if (!facts.session || !facts.connected) return;
    WheelEvent e;
    if (horizontal)
        e.dx = float(-delta) * kWheelScale;  // the tilt wheel turns the other way round on a Mac
    else
        e.dy = float(delta) * kWheelScale;
    e.precise = true;
    e.flags = macModifierFlags(shortcuts_.outputHeld(), capsLockOn_, 0);
    emit(MsgType::Wheel, e.encode());
}

bool ViewerInput::hookRepeat(uint16_t scan, bool extended, uint32_t virtualKey, bool down) const {
    if (!down) return false;
    const int k = pcKeyToMac(scan, extended, int(virtualKey));
    return k >= 0 && heldKeys_.count(uint16_t(k)) > 0;
}

void ViewerInput::forwardKey(uint16_t scan, bool extended, uint32_t virtualKey, bool down, bool repeat,
                             const InputFacts& facts) {
    const int mac = pcKeyToMac(scan, extended, int(virtualKey));
    if (mac < 0) return;
    const uint16_t k = uint16_t(mac);
    const bool chord = held(heldKeys_, 59, 62) && held(heldKeys_, 58, 61) && held(heldKeys_, 55, 54);
    if (k == kReturn) {
        if (down && chord) {
            // Every auto-repeat toggles again, as a held chord would on the host.
            chordPending_ = true;
            if (post) post(InputCommand::ToggleFullScreen);
            return;
        }
        if (!down && chordPending_) {
            chordPending_ = false;
            return;
        }
    }
    if ((k == kLeft || k == kRight) && chord) {
        if (down && !repeat && post) post(k == kLeft ? InputCommand::PreviousDisplay : InputCommand::NextDisplay);
        return;
    }
    if (down)
        heldKeys_.insert(k);
    else
        heldKeys_.erase(k);

    facts_ = &facts;
    const int mode = facts.session && facts.hostOs == "mac" ? 2 * int(facts.macKeymap) : 0;
    if (mode != shortcuts_.currentMode()) shortcuts_.setMode(mode);
    shortcuts_.process(k, down, repeat);
    facts_ = nullptr;
}

void ViewerInput::sendKey(uint16_t code, bool down, bool repeat) {
    if (!facts_ || !facts_->session) return;
    uint64_t flags = 0;
    uint8_t kind = 0;
    if (isMacModifier(code)) {
        if (code == kCapsLock) {
            // The host toggles its Caps Lock on the flag word; the key's release means nothing.
            if (!down) return;
            capsLockOn_ = !capsLockOn_;
        }
        std::set<uint16_t> after = shortcuts_.outputHeld();
        if (down || code == kCapsLock)
            after.insert(code);
        else
            after.erase(code);
        flags = macModifierFlags(after, capsLockOn_, code);
        kind = 2;
    } else {
        // The PC's Korean/English and Hanja keys mean something only to a Windows host.
        if ((code == keyHangul || code == keyHanja) && facts_->hostOs != "windows") return;
        flags = macModifierFlags(shortcuts_.outputHeld(), capsLockOn_, code);
        kind = down ? 1 : 0;
    }
    emit(MsgType::Key, encodeKeyEvent(code, kind, flags, repeat));
}

void ViewerInput::releaseKeys(const InputFacts& facts) {
    facts_ = &facts;
    shortcuts_.releaseAll();
    facts_ = nullptr;
    heldKeys_.clear();
    chordPending_ = false;
    if (facts.session) emit(MsgType::ReleaseAll, Bytes());
}
