// Screen capture on Windows: the displays and their scale.
#include "media/capture.h"

#include <mutex>

namespace {

using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);

// shcore.dll is missing before Windows 8.1, so its DPI query is looked up at run time, once.
GetDpiForMonitorFn dpiForMonitor() {
    static GetDpiForMonitorFn fn = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        if (HMODULE shcore = LoadLibraryW(L"shcore.dll"))
            fn = reinterpret_cast<GetDpiForMonitorFn>(reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")));
    });
    return fn;
}

BOOL CALLBACK monitorEnumProc(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
    auto* out = reinterpret_cast<std::vector<MonitorInfo>*>(param);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) return TRUE;
    MonitorInfo m;
    m.left = info.rcMonitor.left;
    m.top = info.rcMonitor.top;
    m.right = info.rcMonitor.right;
    m.bottom = info.rcMonitor.bottom;
    m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
    m.scale = monitorScale(monitor);
    m.deviceName = info.szDevice;
    out->push_back(std::move(m));
    return TRUE;
}

}  // namespace

double monitorScale(HMONITOR monitor) {
    GetDpiForMonitorFn fn = dpiForMonitor();
    if (!fn) return 1.0;
    UINT dpiX = 96, dpiY = 96;
    if (fn(monitor, 0 /* effective DPI */, &dpiX, &dpiY) != S_OK || dpiX == 0) return 1.0;
    return dpiX / 96.0;
}

std::vector<MonitorInfo> listMonitors() {
    std::vector<MonitorInfo> monitors;
    EnumDisplayMonitors(nullptr, nullptr, monitorEnumProc, reinterpret_cast<LPARAM>(&monitors));
    sortMonitors(monitors);
    return monitors;
}
