// The files on the Windows clipboard.
#include "files/expand.h"

#include <windows.h>
#include <shellapi.h>

std::vector<std::wstring> clipboardFiles() {
    std::vector<std::wstring> out;
    // Another program may hold the clipboard for a moment: ten tries, 30 ms apart.
    bool open = false;
    for (int attempt = 0; attempt < 10 && !open; ++attempt) {
        if (attempt > 0) Sleep(30);
        open = OpenClipboard(nullptr) != FALSE;
    }
    if (!open) return out;
    if (HANDLE data = GetClipboardData(CF_HDROP)) {
        if (auto drop = static_cast<HDROP>(GlobalLock(data))) {
            const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
            for (UINT i = 0; i < count; ++i) {
                const UINT length = DragQueryFileW(drop, i, nullptr, 0);
                std::wstring path(size_t(length) + 1, L'\0');
                const UINT got = DragQueryFileW(drop, i, path.data(), length + 1);
                path.resize(got);
                out.push_back(std::move(path));
            }
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return out;
}
