// What the lock component's system files share: its service handle, SID text, path resolution,
// and the install and removal the elevated switches run.
#pragma once

#include <windows.h>

#include <string>

namespace lockwin {

struct ServiceHandle {
    SC_HANDLE h = nullptr;
    explicit ServiceHandle(SC_HANDLE value) : h(value) {}
    ~ServiceHandle() {
        if (h) CloseServiceHandle(h);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    explicit operator bool() const { return h != nullptr; }
};

// "S-1-5-18" for a SID; empty for none.
std::string sidText(PSID sid);
// A path with every junction and link resolved, as a drive path; empty when it cannot be.
std::wstring resolvedPathOf(const std::wstring& path);

// "--lock-service install" and "uninstall": the process's exit code.
int installService();
int uninstallService();

}  // namespace lockwin
