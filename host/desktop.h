// What the host asks the desktop about the local user: whether the secure desktop has the
// keyboard, and where the focused text field is (for the viewer's input method window).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct ScreenRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const ScreenRect&) const = default;
};

// The secure desktop has the keyboard when the session reports itself locked, or when the input
// desktop cannot be opened, or its name cannot be read, or it is not "Default" (any case).
// sessionLocked: the session's lock flag, nothing when the query failed; desktopName: the input
// desktop's name, nothing when it could not be opened or read.
bool desktopLockedFrom(std::optional<bool> sessionLocked, const std::optional<std::wstring>& desktopName);

// The UI Automation facts about the focused element that decide the caret rectangle.
struct FocusedElement {
    static constexpr int kComboBox = 50003;
    static constexpr int kEdit = 50004;
    static constexpr int kDocument = 50030;
    int controlType = 0;
    bool keyboardFocusable = false;
    std::optional<bool> readOnly;       // the value pattern's flag; nothing without the pattern
    std::optional<ScreenRect> bounds;   // nothing when it could not be read
};

// The text field's rectangle from the focused element: edits and combo boxes, and documents that
// take focus and are not read-only; at most 160 pixels high. Elements without a usable rectangle,
// and tall ones when the caret is found, take the caret band (the fallback, asked only then).
std::optional<ScreenRect> caretFromElement(const FocusedElement& element,
                                           const std::function<std::optional<ScreenRect>()>& caretBand);
// A band 300 pixels wide around a caret whose top-left corner is at (x, y) on the screen.
ScreenRect caretBandAt(int32_t x, int32_t y, int32_t caretHeight);

#ifdef _WIN32
// True when this session is locked or input goes to a desktop other than the user's.
bool inputDesktopLocked();
// The focused text field's screen rectangle; false when there is none. The UI Automation object
// is made once per calling thread and kept until releaseCaretAutomation.
bool focusedCaretRect(ScreenRect& out);
// Lets go of the calling thread's UI Automation object: a thread that asked for the caret calls it
// before it leaves COM.
void releaseCaretAutomation();
// The lock flag of a session from the extended session query; nothing when the query fails.
std::optional<bool> sessionLockState(unsigned long session);
// The name of a desktop (a HDESK); nothing when it cannot be read.
std::optional<std::wstring> desktopName(void* desktop);
#endif
