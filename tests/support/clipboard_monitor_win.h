// Starts the process's clipboard monitor on the calling test thread, as on the program's UI
// thread. Making it also enters a COM apartment here, which the media tests that run later on this
// thread do not want: text needs none, so an apartment only this made is left again.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "host/clipboard.h"

inline bool startClipboardMonitorHere() {
    const bool making = !FindWindowExW(HWND_MESSAGE, nullptr, L"TavrelClipboard", nullptr);
    const HRESULT probe = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // S_OK: none before
    const bool started = ClipboardSync::instance().start();
    if (SUCCEEDED(probe)) CoUninitialize();
    if (probe == S_OK && making) CoUninitialize();
    return started;
}
