#include "viewer/dialog.h"

#include <cstring>
#include <memory>

#include "host/clipboard.h"

namespace {

constexpr wchar_t kClassName[] = L"TavrelDialog";
constexpr int kOkId = 1;
constexpr int kCancelId = 2;
constexpr int kExtraId = 100;
constexpr int kFirstEditId = 10;

struct DialogState {
    std::vector<HWND> edits;
    bool done = false;
    bool accepted = false;
    std::function<void()> extra;
};

void registerClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSW wc{};
    wc.lpfnWndProc = dialogWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    registered = RegisterClassW(&wc) != 0;
}

struct FontDeleter {
    void operator()(HFONT font) const {
        if (font) DeleteObject(font);
    }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

FontHandle messageFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return FontHandle();
    return FontHandle(CreateFontIndirectW(&metrics.lfMessageFont));
}

int measureIntro(const std::wstring& intro, HFONT font, int width) {
    HDC dc = GetDC(nullptr);
    if (!dc) return 0;
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    RECT r{0, 0, width, 0};
    DrawTextW(dc, intro.c_str(), int(intro.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    if (old) SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return int(r.bottom - r.top);
}

HWND addChild(HWND parent, const wchar_t* cls, const std::wstring& text, const DialogRect& box, int id, DWORD style,
              DWORD exStyle, HFONT font) {
    HWND child = CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, box.x, box.y, box.width,
                                 box.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
    if (child && font) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return child;
}

std::wstring editText(HWND edit) {
    const int length = GetWindowTextLengthW(edit);
    if (length <= 0) return std::wstring();
    std::wstring text(size_t(length) + 1, L'\0');
    const int got = GetWindowTextW(edit, text.data(), length + 1);
    text.resize(size_t(got > 0 ? got : 0));
    return text;
}

void wipeText(std::wstring& text) {
    volatile wchar_t* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
    text.clear();
}

}  // namespace

LRESULT CALLBACK dialogWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!state) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kOkId:
                    state->done = true;
                    state->accepted = true;
                    return 0;
                case kCancelId:
                    state->done = true;
                    state->accepted = false;
                    return 0;
                case kExtraId:
                    if (state->extra) {
                        state->extra();
                        return 0;
                    }
                    break;
            }
            break;
        case WM_CLOSE:
            state->done = true;  // the loop destroys the window once it has read the fields
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool runDialog(const std::wstring& title, const std::wstring& intro, std::vector<Field>& fields,
               const std::wstring& okText, const std::wstring& cancelText, const std::wstring& extraText,
               std::function<void(std::vector<HWND>&)> extraCallback) {
    registerClass();
    FontHandle font = messageFont();
    const int dpi = int(GetDpiForSystem());
    const int introHeight = intro.empty() ? -1 : measureIntro(intro, font.get(), introTextWidth(dpi));
    const DialogLayout layout = dialogLayout(dpi, introHeight, fields);

    const DWORD style = WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, layout.clientWidth, layout.clientHeight};
    AdjustWindowRectExForDpi(&frame, style, FALSE, WS_EX_DLGMODALFRAME, UINT(dpi));
    const int width = int(frame.right - frame.left), height = int(frame.bottom - frame.top);
    POINT cursor{};
    GetCursorPos(&cursor);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    const int x = (work.left + work.right - width) / 2, y = (work.top + work.bottom - height) / 2;

    HWND dialog = CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kClassName, title.c_str(), style, x, y, width,
                                  height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!dialog) return false;
    DialogState state;
    SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    HFONT f = font.get();
    if (layout.hasIntro) addChild(dialog, L"STATIC", intro, layout.intro, -1, SS_NOPREFIX, 0, f);
    for (size_t i = 0; i < fields.size(); ++i) {
        const Field& field = fields[i];
        addChild(dialog, L"STATIC", field.label, layout.labels[i], -1, 0, 0, f);
        DWORD editStyle = WS_TABSTOP;
        if (field.password) editStyle |= ES_PASSWORD;
        if (field.readOnly) editStyle |= ES_READONLY;
        editStyle |= field.multiLine ? DWORD(ES_MULTILINE | WS_VSCROLL) : DWORD(ES_AUTOHSCROLL);
        state.edits.push_back(addChild(dialog, L"EDIT", field.value, layout.edits[i], kFirstEditId + int(i), editStyle,
                                       WS_EX_CLIENTEDGE, f));
    }
    addChild(dialog, L"BUTTON", okText, layout.ok, kOkId, WS_TABSTOP | BS_DEFPUSHBUTTON, 0, f);
    if (!cancelText.empty()) addChild(dialog, L"BUTTON", cancelText, layout.cancel, kCancelId, WS_TABSTOP, 0, f);
    if (!extraText.empty() && extraCallback) {
        addChild(dialog, L"BUTTON", extraText, layout.extra, kExtraId, WS_TABSTOP, 0, f);
        state.extra = [&state, callback = std::move(extraCallback)] { callback(state.edits); };
    }

    ShowWindow(dialog, SW_SHOW);
    SetForegroundWindow(dialog);
    const int focus = firstFocusField(fields);
    if (focus >= 0 && state.edits[size_t(focus)]) {
        SetFocus(state.edits[size_t(focus)]);
        SendMessageW(state.edits[size_t(focus)], EM_SETSEL, 0, -1);
    }

    bool quit = false;
    WPARAM quitCode = 0;
    MSG msg;
    while (!state.done) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            // The program is ending (the tray's quit during a dialog): the dialog ends unaccepted and
            // the quit goes on to the loop that called it.
            quit = got == 0;
            quitCode = msg.wParam;
            state.accepted = false;
            break;
        }
        if (msg.message == WM_KEYDOWN) {
            const bool inDialog = msg.hwnd && GetAncestor(msg.hwnd, GA_ROOT) == dialog;
            const bool multiLine = inDialog && (GetWindowLongW(msg.hwnd, GWL_STYLE) & ES_MULTILINE) != 0;
            const DialogKey key = dialogKeyAction(unsigned(msg.wParam), inDialog, multiLine);
            if (key != DialogKey::Pass) {
                state.done = true;
                state.accepted = key == DialogKey::Accept;
                break;
            }
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    for (size_t i = 0; i < fields.size() && i < state.edits.size(); ++i) {
        if (fields[i].password) wipeText(fields[i].value);
        fields[i].value = editText(state.edits[i]);
        // A destroyed edit's buffer goes back to the heap as it is: a password must not stay there.
        if (fields[i].password) SetWindowTextW(state.edits[i], L"");
    }
    SetWindowLongPtrW(dialog, GWLP_USERDATA, 0);
    DestroyWindow(dialog);
    state.extra = nullptr;
    if (quit) PostQuitMessage(int(quitCode));
    return state.accepted;
}

void copyToClipboard(const std::wstring& text, CopyKind kind) {
    EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* p = GlobalLock(memory)) {
            std::memcpy(p, text.c_str(), bytes);
            GlobalUnlock(memory);
            // Once set, the clipboard owns the memory; when setting fails it is still ours.
            if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
        } else {
            GlobalFree(memory);
        }
    }
    if (kind == CopyKind::Secret) markClipboardPrivate();
    CloseClipboard();
}
