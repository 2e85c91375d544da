// The dialog builder driven as a user would, from a timer inside its own modal loop.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <functional>
#include <string>
#include <vector>

#include "support/dialog_steps_win.h"
#include "support/gui_win.h"
#include "viewer/dialog.h"

namespace {

HWND dialogTitled(const wchar_t* title) { return FindWindowW(L"TavrelDialog", title); }

void type(HWND edit, const std::wstring& chars) {
    for (wchar_t c : chars) PostMessageW(edit, WM_CHAR, c, 1);
}

void key(HWND target, UINT vk) { PostMessageW(target, WM_KEYDOWN, vk, 1); }

Field field(const wchar_t* label, const wchar_t* value, bool readOnly = false, bool multiLine = false,
            bool password = false) {
    Field f;
    f.label = label;
    f.value = value;
    f.readOnly = readOnly;
    f.multiLine = multiLine;
    f.password = password;
    return f;
}

TEST(DialogWindow, TypedTextAndEnterAcceptWithTheValuesCopiedBack) {
    std::vector<Field> fields = {field(L"접속 ID", L"123 456 789", true), field(L"이름", L"옛 이름"),
                                 field(L"비밀번호", L"", false, false, true)};
    HWND dialog = nullptr;
    RECT client{};
    int focusedId = 0;
    ModalAction steps(dialogSteps({
        [&] {
            dialog = dialogTitled(L"이 PC 이름");
            if (!dialog) return false;
            focusedId = GetDlgCtrlID(GetFocus());
            GetClientRect(dialog, &client);
            type(GetDlgItem(dialog, 11), L"작업실");  // replaces the selected old name
            type(GetDlgItem(dialog, 12), L"pw");
            return true;
        },
        [&] {
            if (windowText(GetDlgItem(dialog, 11)) != L"작업실") return false;
            saveScreenshot(dialog);
            key(GetDlgItem(dialog, 12), VK_RETURN);
            return true;
        },
    }));
    EXPECT_TRUE(runDialog(L"이 PC 이름", L"다른 컴퓨터에 보이는 이름입니다.", fields, L"저장", L"취소", L"", nullptr));
    EXPECT_TRUE(steps.done());
    EXPECT_EQ(focusedId, 11);  // the read-only field is skipped
    EXPECT_EQ(fields[0].value, L"123 456 789");
    EXPECT_EQ(fields[1].value, L"작업실");
    EXPECT_EQ(fields[2].value, L"pw");
    EXPECT_FALSE(IsWindow(dialog));
    const int dpi = int(GetDpiForSystem());
    EXPECT_EQ(client.right, scaleForDpi(460, dpi));
}

// What each edit of this thread held when it was destroyed, by control id.
std::vector<std::pair<int, std::wstring>>* g_destroyedEdits = nullptr;
LRESULT CALLBACK watchEditDestroy(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_DESTROY && g_destroyedEdits) {
        wchar_t cls[16] = {};
        GetClassNameW(call->hwnd, cls, 16);
        if (lstrcmpiW(cls, L"Edit") == 0) g_destroyedEdits->push_back({GetDlgCtrlID(call->hwnd), windowText(call->hwnd)});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(DialogWindow, PasswordEditsAreEmptiedBeforeTheyAreDestroyed) {
    for (const UINT endKey : {UINT(VK_RETURN), UINT(VK_ESCAPE)}) {
        std::vector<Field> fields = {field(L"이름", L""), field(L"비밀번호", L"", false, false, true)};
        HWND dialog = nullptr;
        ModalAction steps(dialogSteps({
            [&] {
                dialog = dialogTitled(L"비밀번호");
                if (!dialog) return false;
                type(GetDlgItem(dialog, 10), L"name");
                type(GetDlgItem(dialog, 11), L"secret-pw");
                return true;
            },
            [&] {
                if (windowText(GetDlgItem(dialog, 11)) != L"secret-pw") return false;
                key(GetDlgItem(dialog, 11), endKey);
                return true;
            },
        }));
        std::vector<std::pair<int, std::wstring>> destroyed;
        g_destroyedEdits = &destroyed;
        HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, watchEditDestroy, nullptr, GetCurrentThreadId());
        ASSERT_TRUE(hook);
        const bool accepted = runDialog(L"비밀번호", L"", fields, L"확인", L"취소", L"", nullptr);
        UnhookWindowsHookEx(hook);
        g_destroyedEdits = nullptr;
        EXPECT_TRUE(steps.done());
        EXPECT_EQ(accepted, endKey == VK_RETURN);
        EXPECT_EQ(fields[1].value, L"secret-pw");  // handed to the caller, who wipes it
        EXPECT_EQ(destroyed, (std::vector<std::pair<int, std::wstring>>{{10, L"name"}, {11, L""}}));
    }
}

TEST(DialogWindow, EscAndTheCloseBoxCancelButKeepWhatWasTyped) {
    for (const bool closeBox : {false, true}) {
        std::vector<Field> fields = {field(L"포트", L"47800")};
        ModalAction steps(dialogSteps({
            [&] {
                HWND d = dialogTitled(L"포트");
                if (!d) return false;
                type(GetDlgItem(d, 10), L"2048");
                return true;
            },
            [&] {
                HWND d = dialogTitled(L"포트");
                if (windowText(GetDlgItem(d, 10)) != L"2048") return false;
                if (closeBox)
                    PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0);
                else
                    key(GetDlgItem(d, 10), VK_ESCAPE);
                return true;
            },
        }));
        EXPECT_FALSE(runDialog(L"포트", L"", fields, L"저장", L"취소", L"", nullptr)) << closeBox;
        EXPECT_TRUE(steps.done());
        EXPECT_EQ(fields[0].value, L"2048") << closeBox;
        EXPECT_FALSE(dialogTitled(L"포트"));
    }
}

TEST(DialogWindow, ExtraButtonTwiceKeepsTheDialogAndEnterOnCancelAccepts) {
    std::vector<Field> fields = {field(L"코드", L"tavrel1:abc", true, true), field(L"메모", L"")};
    int presses = 0;
    std::vector<size_t> editCounts;
    ModalAction steps(dialogSteps({
        [&] {
            HWND d = dialogTitled(L"짝 맺기 코드");
            if (!d) return false;
            PostMessageW(d, WM_COMMAND, MAKEWPARAM(100, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(d, 100)));
            PostMessageW(d, WM_COMMAND, MAKEWPARAM(100, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(d, 100)));
            return true;
        },
        [&] {
            HWND d = dialogTitled(L"짝 맺기 코드");
            if (presses < 2) return false;
            // Enter in the multi-line edit is not the loop's: the dialog stays.
            key(GetDlgItem(d, 10), VK_RETURN);
            return true;
        },
        [&] {
            HWND d = dialogTitled(L"짝 맺기 코드");
            if (!d) return true;  // fails below
            saveScreenshot(d);
            HWND cancel = GetDlgItem(d, 2);
            SetFocus(cancel);
            key(cancel, VK_RETURN);
            return true;
        },
    }));
    const bool accepted = runDialog(L"짝 맺기 코드", L"한 번만 쓸 수 있습니다.", fields, L"닫기", L"취소", L"복사",
                                    [&](std::vector<HWND>& edits) {
                                        ++presses;
                                        editCounts.push_back(edits.size());
                                        SetWindowTextW(edits[1], (L"눌림 " + std::to_wstring(presses)).c_str());
                                    });
    EXPECT_TRUE(accepted);
    EXPECT_TRUE(steps.done());
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(editCounts, (std::vector<size_t>{2, 2}));
    EXPECT_EQ(fields[1].value, L"눌림 2");
    EXPECT_EQ(fields[0].value, L"tavrel1:abc");
}

TEST(DialogWindow, OnlyReadOnlyFieldsFocusNothingAndEnterStillAccepts) {
    std::vector<Field> fields = {field(L"접속 ID", L"123 456 789", true)};
    bool editFocused = true;
    bool cancelShown = true;
    ModalAction steps(dialogSteps({[&] {
        HWND d = dialogTitled(L"읽기만");
        if (!d) return false;
        editFocused = GetFocus() == GetDlgItem(d, 10);
        cancelShown = GetDlgItem(d, 2) != nullptr;
        key(GetDlgItem(d, 1), VK_RETURN);
        return true;
    }}));
    EXPECT_TRUE(runDialog(L"읽기만", L"", fields, L"닫기", L"", L"복사", nullptr));
    EXPECT_TRUE(steps.done());
    EXPECT_FALSE(editFocused);
    EXPECT_FALSE(cancelShown);
}

TEST(DialogWindow, QuitDuringADialogEndsItAndReachesTheCallersLoop) {
    std::vector<Field> fields = {field(L"이름", L"")};
    ModalAction steps(dialogSteps({[&] {
        if (!dialogTitled(L"그만")) return false;
        PostQuitMessage(7);
        return true;
    }}));
    EXPECT_FALSE(runDialog(L"그만", L"", fields, L"저장", L"취소", L"", nullptr));
    EXPECT_TRUE(steps.done());
    EXPECT_FALSE(dialogTitled(L"그만"));
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST(DialogWindow, ADialogOpenedInsideAnotherRunsToItsEndFirst) {
    std::vector<Field> outer = {field(L"바깥", L"")};
    std::vector<Field> inner = {field(L"안", L"")};
    bool innerAccepted = false;
    bool outerOpenAfterInner = false;
    // The second dialog is opened from the first one's extra button, as a tray command would.
    std::vector<Field> fields = outer;
    ModalAction drive(dialogSteps({
        [&] {
            HWND d = dialogTitled(L"바깥");
            if (!d) return false;
            PostMessageW(d, WM_COMMAND, MAKEWPARAM(100, BN_CLICKED), 0);
            return true;
        },
        [&] {
            HWND d = dialogTitled(L"안");
            if (!d) return false;
            type(GetDlgItem(d, 10), L"x");
            return true;
        },
        [&] {
            HWND d = dialogTitled(L"안");
            if (!d || windowText(GetDlgItem(d, 10)) != L"x") return false;
            key(GetDlgItem(d, 10), VK_RETURN);
            return true;
        },
        [&] {
            HWND d = dialogTitled(L"바깥");
            if (!d || dialogTitled(L"안")) return false;
            outerOpenAfterInner = true;
            key(GetDlgItem(d, 10), VK_ESCAPE);
            return true;
        },
    }));
    EXPECT_FALSE(runDialog(L"바깥", L"", fields, L"확인", L"취소", L"안쪽",
                           [&](std::vector<HWND>&) { innerAccepted = runDialog(L"안", L"", inner, L"확인", L"", L"", nullptr); }));
    EXPECT_TRUE(drive.done());
    EXPECT_TRUE(innerAccepted);
    EXPECT_EQ(inner[0].value, L"x");
    EXPECT_TRUE(outerOpenAfterInner);
}

TEST(DialogClipboard, CopiesTheTextAndClosesTheClipboard) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    ASSERT_TRUE(OpenClipboard(owner));
    copyToClipboard(L"tavrel1:붙여 넣기");
    // Closed by the copy: opening again works.
    ASSERT_TRUE(OpenClipboard(owner));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(GlobalLock(data))), L"tavrel1:붙여 넣기");
    GlobalUnlock(data);
    CloseClipboard();
    DestroyWindow(owner);
}

// The memory of a copy that the clipboard did not take (it was not open) is given back.
TEST(DialogClipboard, ACopyTheClipboardRefusesLeavesNoMemoryBehind) {
    const std::wstring big(1 << 20, L'x');  // 2 MiB a copy
    const auto committed = [] {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
        return counters.PagefileUsage;  // committed memory; Wine leaves the private usage at 0
    };
    copyToClipboard(big);  // the first may grow the heap for good
    const SIZE_T before = committed();
    for (int i = 0; i < 100; ++i) copyToClipboard(big);  // 200 MiB if each were kept
    EXPECT_LT(committed(), before + (SIZE_T(50) << 20));
}

}  // namespace
