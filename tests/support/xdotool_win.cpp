#include "support/xdotool.h"

#include <windows.h>

#include <atomic>

#include "core/util.h"

namespace {
const wchar_t kProgram[] = L"Z:\\usr\\bin\\xdotool";
}

bool xdotoolAvailable() { return GetFileAttributesW(kProgram) != INVALID_FILE_ATTRIBUTES; }

bool runXdotool(const std::string& arguments, const std::function<void()>& pump) {
    static std::atomic<int> counter{0};
    std::string name = "tavrel-xdotool-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    std::wstring marker = L"Z:\\tmp\\" + std::wstring(name.begin(), name.end());
    DeleteFileW(marker.c_str());
    std::string command = "Z:\\bin\\sh -c \"xdotool " + arguments + "; touch /tmp/" + name + "\"";
    std::wstring wide(command.begin(), command.end());  // ASCII
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    bool done = false;
    for (int64_t end = nowNanos() + 10'000'000'000; !done && nowNanos() < end;) {
        if (pump) pump();
        done = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!done) sleepMs(5);
    }
    DeleteFileW(marker.c_str());
    return done;
}
