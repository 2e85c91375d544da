// What the user does inside a viewer window, turned into session messages for the host: mouse
// moves and presses over the picture, the wheel and keys (as Mac key codes, through the shortcut
// translator), and ReleaseAll when the window loses the keyboard. Three local chords are kept
// here: Ctrl+Alt+Win+Enter (full screen) and Ctrl+Alt+Win+Left/Right (previous or next display).
// Fed with plain values (pixels, times, metrics, key codes); the window applies what comes out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "core/json.h"
#include "core/util.h"
#include "host/protocol/messages.h"
#include "host/protocol/shortcut.h"

// A video-child pixel as a position in the remote picture, each 0..1; the picture is centred in
// the child with bars on two sides, and a point on a bar maps to the picture's nearest edge.
// False when the picture has no area.
bool clientToRemote(int x, int y, int videoWidth, int videoHeight, const Json& displayInfo, float& rx, float& ry);

// What the low-level keyboard hook knows of one event and of its owner window.
struct HookEvent {
    bool action = false;            // the hook code is HC_ACTION
    bool hasOwner = false;          // a viewer window owns the hook
    bool injected = false;          // LLKHF_INJECTED: typed by a program, not by the person
    bool ownerForeground = false;   // the owner is the foreground window
    bool ownerConnected = false;    // the owner's session is up
    bool ownerInMenu = false;       // a menu of the owner is open: its keys work the menu
};
// Whether the hook takes the key from Windows for the viewer; asked again when the window
// handles the key it posted, since the window may have lost the key meanwhile.
bool hookTakesKey(const HookEvent& event);

// The display a relative switch selects, wrapping both ways; none without a second display.
std::optional<uint8_t> switchedDisplay(const Json& displayInfo, int delta);

// The window's state that input depends on, read afresh for every event.
struct InputFacts {
    bool session = false;     // the window has a session
    bool connected = false;   // and it is up
    std::string hostOs;       // the session's host system ("windows", "mac")
    bool macKeymap = false;   // the setting: PC shortcuts work a Mac
};

// Local actions that keys ask the window for.
enum class InputCommand { ToggleFullScreen, PreviousDisplay, NextDisplay };

// The system's double-click limits: time in milliseconds, distances in pixels.
struct ClickMetrics {
    uint32_t time = 500;
    int width = 4;
    int height = 4;
};

enum class MouseAction { Move, Press, Release };
// What the window does with the mouse capture after an event.
enum class CaptureChange { None, Take, Free };

class ViewerInput {
public:
    // Session messages; called only while the window has a session.
    std::function<void(MsgType type, const Bytes& payload)> send;
    // Local actions, to be posted to the window so that they run after the key was handled.
    std::function<void(InputCommand)> post;

    // Drives `shortcuts` (the window's translator) and becomes its output.
    explicit ViewerInput(ShortcutTranslator& shortcuts);
    ViewerInput(const ViewerInput&) = delete;
    ViewerInput& operator=(const ViewerInput&) = delete;

    // One mouse event over the video child. `button` 0 left, 1 right, 2 middle, 3 and 4 the extra
    // buttons (ignored for a move); x, y in the child's client pixels; `time` the message time.
    CaptureChange mouse(MouseAction action, int button, int x, int y, uint32_t time, int videoWidth, int videoHeight,
                        const Json& displayInfo, const ClickMetrics& metrics, const InputFacts& facts);
    // One wheel message: `delta` as Windows gives it (120 a notch).
    void wheel(bool horizontal, int delta, const InputFacts& facts);
    // One local key event: the window's key messages or the hook's keys.
    void forwardKey(uint16_t scan, bool extended, uint32_t virtualKey, bool down, bool repeat, const InputFacts& facts);
    // Whether a key-down that the hook caught repeats one already held.
    bool hookRepeat(uint16_t scan, bool extended, uint32_t virtualKey, bool down) const;
    // Lets go of everything held, here and on the host. Caps Lock's state stays.
    void releaseKeys(const InputFacts& facts);

    const std::set<uint16_t>& heldKeys() const { return heldKeys_; }
    bool capsLockOn() const { return capsLockOn_; }
    bool chordPending() const { return chordPending_; }
    int buttonsDown() const { return buttonsDown_; }
    const ShortcutTranslator& shortcuts() const { return shortcuts_; }

private:
    void sendKey(uint16_t code, bool down, bool repeat);
    void emit(MsgType type, const Bytes& payload);

    ShortcutTranslator& shortcuts_;
    const InputFacts* facts_ = nullptr;  // the event being handled, for the translator's output
    std::set<uint16_t> heldKeys_;        // Mac codes down on the local keyboard, before translation
    bool capsLockOn_ = false;            // as told to the host
    bool chordPending_ = false;          // the full-screen chord's Return is down
    int buttonsDown_ = 0;                // bit set of the button table
    uint32_t lastPressTime_ = 0;
    int lastPressX_ = 0;
    int lastPressY_ = 0;
    int lastPressButton_ = -1;
    int clickCount_ = 0;
};
