// The system's side of restart and sleep: the shutdown privilege and the two power calls.
#include <windows.h>
#include <powrprof.h>

#include "host/power.h"

void enableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    // AdjustTokenPrivileges succeeds even when the privilege is not held; the power call says so.
    CloseHandle(token);
}

bool systemRestart(uint32_t& error) {
    if (ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, SHTDN_REASON_FLAG_PLANNED)) return true;
    error = GetLastError();
    return false;
}

bool systemSleep() { return SetSuspendState(FALSE, FALSE, FALSE) != FALSE; }
