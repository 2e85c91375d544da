// The system's side of the desktop queries: the session's lock flag, the input desktop's name,
// UI Automation's focused element and the foreground thread's caret.
#include <windows.h>

#include "host/desktop.h"
#include "host/platform_win.h"

std::optional<bool> sessionLockState(unsigned long session) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, winapi::WTSSessionInfoEx, &buffer, &bytes)) {
        return std::nullopt;
    }
    std::optional<bool> locked;
    if (buffer && bytes >= sizeof(winapi::WTSINFOEXW)) {
        const auto* info = reinterpret_cast<const winapi::WTSINFOEXW*>(buffer);
        if (info->Level == 1) locked = info->Data.WTSInfoExLevel1.SessionFlags == winapi::WTS_SESSIONSTATE_LOCK;
    }
    if (buffer) WTSFreeMemory(buffer);
    return locked;
}

std::optional<std::wstring> desktopName(void* desktop) {
    wchar_t name[64] = {};  // 128 bytes
    DWORD needed = 0;
    if (!GetUserObjectInformationW(static_cast<HDESK>(desktop), UOI_NAME, name, sizeof name, &needed)) return std::nullopt;
    name[63] = 0;
    return std::wstring(name);
}

bool inputDesktopLocked() {
    const std::optional<bool> locked = sessionLockState(WTS_CURRENT_SESSION);
    if (locked.value_or(false)) return true;
    HDESK desktop = OpenInputDesktop(0, FALSE, GENERIC_READ);
    if (!desktop) return true;
    const std::optional<std::wstring> name = desktopName(desktop);
    CloseDesktop(desktop);
    return desktopLockedFrom(locked, name);
}

namespace {

std::optional<ScreenRect> foregroundCaretBand() {
    HWND foreground = GetForegroundWindow();
    if (!foreground) return std::nullopt;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(foreground, nullptr), &info) || !info.hwndCaret) return std::nullopt;
    POINT corner{info.rcCaret.left, info.rcCaret.top};
    if (!ClientToScreen(info.hwndCaret, &corner)) return std::nullopt;
    return caretBandAt(corner.x, corner.y, info.rcCaret.bottom - info.rcCaret.top);
}

// The calling thread's UI Automation object, made on first use and kept until
// releaseCaretAutomation. Plain values only: MinGW frees a thread's thread_local storage before it
// runs their destructors, so an object with a destructor would be read after it was freed.
thread_local bool automationTried = false;
thread_local winapi::IUIAutomation* automation = nullptr;

winapi::IUIAutomation* threadAutomation() {
    if (!automationTried) {
        automationTried = true;
        void* created = nullptr;
        if (SUCCEEDED(CoCreateInstance(winapi::CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER,
                                       winapi::IID_IUIAutomation, &created)))
            automation = static_cast<winapi::IUIAutomation*>(created);
    }
    return automation;
}

FocusedElement describe(winapi::IUIAutomationElement* element) {
    FocusedElement out;
    int type = 0;
    if (SUCCEEDED(element->get_CurrentControlType(&type))) out.controlType = type;
    BOOL focusable = FALSE;
    if (SUCCEEDED(element->get_CurrentIsKeyboardFocusable(&focusable))) out.keyboardFocusable = focusable != FALSE;
    if (out.controlType == FocusedElement::kDocument) {
        void* pattern = nullptr;
        if (SUCCEEDED(element->GetCurrentPatternAs(winapi::UIA_ValuePatternId, winapi::IID_IUIAutomationValuePattern,
                                                   &pattern)) &&
            pattern) {
            auto* value = static_cast<winapi::IUIAutomationValuePattern*>(pattern);
            BOOL readOnly = FALSE;
            if (SUCCEEDED(value->get_CurrentIsReadOnly(&readOnly))) out.readOnly = readOnly != FALSE;
            value->Release();
        }
    }
    RECT r{};
    if (SUCCEEDED(element->get_CurrentBoundingRectangle(&r))) out.bounds = ScreenRect{r.left, r.top, r.right, r.bottom};
    return out;
}

}  // namespace

void releaseCaretAutomation() {
    if (automation) automation->Release();
    automation = nullptr;
    automationTried = false;
}

bool focusedCaretRect(ScreenRect& out) {
    std::optional<ScreenRect> found;
    winapi::IUIAutomation* caretAutomation = threadAutomation();
    winapi::IUIAutomationElement* element = nullptr;
    if (!caretAutomation || FAILED(caretAutomation->GetFocusedElement(&element)) || !element) {
        found = foregroundCaretBand();
    } else {
        const FocusedElement facts = describe(element);
        element->Release();
        found = caretFromElement(facts, foregroundCaretBand);
    }
    if (!found) return false;
    out = *found;
    return true;
}
