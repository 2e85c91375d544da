// The displays as the system lists them, and their DPI scale.
#include <windows.h>

#include "media/capture.h"

namespace {

// GetDpiForMonitor(monitor, kind, dpiX, dpiY), loaded once: shcore.dll is not on every system.
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);

GetDpiForMonitorFn dpiForMonitor() {
    static const GetDpiForMonitorFn fn = [] {
        HMODULE shcore = LoadLibraryW(L"shcore.dll");
        // Through void*: a FARPROC takes no arguments, so a direct cast draws a warning.
        void* found = shcore ? reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")) : nullptr;
        return reinterpret_cast<GetDpiForMonitorFn>(found);
    }();
    return fn;
}

BOOL CALLBACK monitorEnumProc(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) {
        MonitorInfo m;
        m.left = info.rcMonitor.left;
        m.top = info.rcMonitor.top;
        m.right = info.rcMonitor.right;
        m.bottom = info.rcMonitor.bottom;
        m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
        m.scale = monitorScale(monitor);
        m.deviceName = info.szDevice;
        reinterpret_cast<std::vector<MonitorInfo>*>(param)->push_back(std::move(m));
    }
    return TRUE;
}

}  // namespace

double monitorScale(HMONITOR monitor) {
    const GetDpiForMonitorFn fn = dpiForMonitor();
    if (!fn) return 1.0;
    UINT x = 96, y = 96;
    if (fn(monitor, 0 /* effective DPI */, &x, &y) != S_OK || x == 0) return 1.0;
    return x / 96.0;
}

std::vector<MonitorInfo> listMonitors() {
    std::vector<MonitorInfo> monitors;
    EnumDisplayMonitors(nullptr, nullptr, monitorEnumProc, reinterpret_cast<LPARAM>(&monitors));
    sortMonitors(monitors);
    return monitors;
}
