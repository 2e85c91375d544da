// The GUI test rig itself: menus, list views and boxes read back, actions inside modal loops, and
// Korean text in the prefix's fonts.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/gui_win.h"

namespace {

// A plain hidden window to own menus and controls.
HWND makeWindow(const wchar_t* title, DWORD style = 0, int width = 0, int height = 0) {
    return CreateWindowExW(0, L"STATIC", title, style, 40, 40, width, height, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

TEST(GuiRig, ReadsAnOpenPopupMenuFromInsideItsLoop) {
    HWND owner = makeWindow(L"owner");
    ASSERT_TRUE(owner);
    HMENU settings = CreatePopupMenu();
    AppendMenuW(settings, MF_STRING | MF_GRAYED, 5, L"배터리일 때도 잠자기 막기");
    AppendMenuW(settings, MF_STRING | MF_CHECKED, 6, L"클립보드 함께 쓰기");
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING | MF_CHECKED, 1, L"원격 제어 허용");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), L"설정");
    AppendMenuW(menu, MF_STRING, 17, L"종료");
    const std::vector<MenuEntry> want = {
        {L"원격 제어 허용", 1, true, false, false, {}},
        {L"", 0, false, false, true, {}},
        {L"설정", 0, false, false, false,
         {{L"배터리일 때도 잠자기 막기", 5, false, true, false, {}}, {L"클립보드 함께 쓰기", 6, true, false, false, {}}}},
        {L"종료", 17, false, false, false, {}},
    };
    EXPECT_EQ(readMenu(menu), want);

    std::vector<MenuEntry> seen;
    ModalAction action([&] {
        HWND popup = openPopupMenu();
        if (!popup) return false;
        seen = readMenu(menuOfPopup(popup));
        EXPECT_TRUE(saveScreenshot(popup));
        EndMenu();
        return true;
    });
    SetForegroundWindow(owner);
    const UINT chosen = UINT(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, 200, 200, 0, owner, nullptr));
    EXPECT_TRUE(action.done());
    EXPECT_EQ(chosen, 0u);
    EXPECT_EQ(seen, want);
    DestroyMenu(menu);
    DestroyWindow(owner);
}

TEST(GuiRig, AnswersAMessageBoxFromInsideItsLoop) {
    std::wstring message, caption;
    ModalAction action([&] {
        HWND box = nullptr;
        for (HWND w : topWindows(L"#32770"))
            if (IsWindowVisible(w)) box = w;
        if (!box) return false;
        message = dialogMessage(box);
        caption = windowText(box);
        EXPECT_TRUE(saveScreenshot(box));
        return pressButton(box, IDCANCEL);
    });
    const int answer = MessageBoxW(nullptr, L"'맥북' 을(를) 목록에서 지웁니다.", L"지울까요?", MB_OKCANCEL | MB_ICONWARNING);
    EXPECT_TRUE(action.done());
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(message, L"'맥북' 을(를) 목록에서 지웁니다.");
    EXPECT_EQ(caption, L"지울까요?");
}

TEST(GuiRig, ReadsListViewRowsAndControlStates) {
    INITCOMMONCONTROLSEX init{sizeof init, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&init);
    HWND window = makeWindow(L"목록", WS_POPUP | WS_VISIBLE | WS_BORDER, 360, 160);
    ASSERT_TRUE(window);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 360, 120, window,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
    HWND box = CreateWindowExW(0, L"BUTTON", L"알림", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX | WS_DISABLED, 0, 124,
                               200, 30, window, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(list && box);
    const wchar_t* headers[] = {L"이름", L"크기"};
    for (int c = 0; c < 2; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = 160;
        column.pszText = const_cast<wchar_t*>(headers[c]);
        SendMessageW(list, LVM_INSERTCOLUMNW, WPARAM(c), reinterpret_cast<LPARAM>(&column));
    }
    const std::vector<std::vector<std::wstring>> rows = {{L"사진.png", L"1.2 MB"}, {L"문서", L""}};
    for (int r = 0; r < 2; ++r) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = r;
        item.pszText = const_cast<wchar_t*>(rows[size_t(r)][0].c_str());
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = const_cast<wchar_t*>(rows[size_t(r)][1].c_str());
        SendMessageW(list, LVM_SETITEMTEXTW, WPARAM(r), reinterpret_cast<LPARAM>(&item));
    }
    // Controls draw in the system font until told otherwise; windows of the program use the
    // message font, which the prefix maps to one with Hangul.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    SendMessageW(box, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    pumpFor(100);
    EXPECT_EQ(listViewRows(list), rows);
    const ControlState state = controlState(box);
    EXPECT_EQ(state.text, L"알림");
    EXPECT_TRUE(state.visible);
    EXPECT_FALSE(state.enabled);
    EXPECT_TRUE(state.checked);
    EXPECT_EQ(childWindows(window, L"Button"), std::vector<HWND>{box});
    EXPECT_TRUE(saveScreenshot(window));
    DestroyWindow(window);
    DeleteObject(font);
}

// Text in a font, black on white, as BGRA pixels.
std::vector<uint8_t> drawText(HFONT font, const std::wstring& text, int width, int height) {
    DibCanvas canvas(width, height);
    if (!canvas.ok()) return {};
    HGDIOBJ oldFont = SelectObject(canvas.dc(), font);
    RECT r{0, 0, width, height};
    FillRect(canvas.dc(), &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetBkMode(canvas.dc(), TRANSPARENT);
    DrawTextW(canvas.dc(), text.c_str(), int(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(canvas.dc(), oldFont);
    std::vector<uint8_t> pixels = canvas.pixels();
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    return pixels;
}

// Missing characters all draw alike (a box, or nothing); Hangul that the prefix's fonts carry
// draws as four different syllables.
TEST(GuiRig, TheMessageFontDrawsHangul) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    LOGFONTW large = metrics.lfMessageFont;
    large.lfHeight = -36;
    HFONT font = CreateFontIndirectW(&large);
    ASSERT_TRUE(font);
    const std::wstring text = L"원격 제어";
    const std::vector<uint8_t> missing = drawText(font, L"\uE000", 48, 48);
    const std::vector<uint8_t> blank(missing.size(), 0xFF);
    std::vector<std::vector<uint8_t>> syllables;
    for (wchar_t c : text) {
        if (c == L' ') continue;
        syllables.push_back(drawText(font, std::wstring(1, c), 48, 48));
        EXPECT_NE(syllables.back(), blank) << int(c);
        EXPECT_NE(syllables.back(), missing) << int(c);
    }
    for (size_t i = 0; i < syllables.size(); ++i)
        for (size_t j = i + 1; j < syllables.size(); ++j) EXPECT_NE(syllables[i], syllables[j]) << i << " " << j;
    const std::vector<uint8_t> line = drawText(font, text, 320, 60);
    EXPECT_TRUE(savePicture(line.data(), 320, 60));
    DeleteObject(font);
}

}  // namespace
