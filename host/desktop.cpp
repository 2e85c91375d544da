#include "host/desktop.h"

namespace {

bool equalsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = wchar_t(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = wchar_t(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

constexpr int32_t kMaxCaretHeight = 160;

}  // namespace

bool desktopLockedFrom(std::optional<bool> sessionLocked, const std::optional<std::wstring>& desktopName) {
    if (sessionLocked.value_or(false)) return true;
    if (!desktopName) return true;
    return !equalsIgnoringAsciiCase(*desktopName, L"Default");
}

ScreenRect caretBandAt(int32_t x, int32_t y, int32_t caretHeight) {
    return {x - 60, y - 6, x + 240, y + caretHeight + 6};
}

std::optional<ScreenRect> caretFromElement(const FocusedElement& element,
                                           const std::function<std::optional<ScreenRect>()>& caretBand) {
    bool textField = element.controlType == FocusedElement::kEdit || element.controlType == FocusedElement::kComboBox;
    if (element.controlType == FocusedElement::kDocument)
        textField = element.keyboardFocusable && !element.readOnly.value_or(false);
    if (!textField) return std::nullopt;

    const std::optional<ScreenRect>& r = element.bounds;
    if (!r || r->left >= r->right || r->top >= r->bottom) return caretBand();
    if (int64_t(r->bottom) - r->top > kMaxCaretHeight) {
        // A tall field (a document): the caret tells where in it the typing happens.
        if (std::optional<ScreenRect> band = caretBand()) return band;
    }
    ScreenRect out = *r;
    if (int64_t(out.bottom) - out.top > kMaxCaretHeight) out.bottom = out.top + kMaxCaretHeight;
    return out;
}
