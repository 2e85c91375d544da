#include "support/program_win.h"

#include "support/pump_win.h"

namespace {

constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

}  // namespace

ThrowAwayUserFolders::ThrowAwayUserFolders() {
    const std::filesystem::path targets[2] = {roaming(), local()};
    saved_[0].name = L"AppData";
    saved_[1].name = L"Local AppData";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    ok_ = true;
    for (int i = 0; i < 2; ++i) {
        Saved& s = saved_[i];
        wchar_t value[1024] = {};
        DWORD size = sizeof value;
        s.present = RegQueryValueExW(key, s.name.c_str(), nullptr, &s.type, reinterpret_cast<BYTE*>(value), &size) ==
                    ERROR_SUCCESS;
        if (s.present) s.value.assign(value, wcsnlen(value, size / sizeof(wchar_t)));
        std::error_code ec;
        std::filesystem::create_directories(targets[i], ec);  // the system finds only existing folders
        const std::wstring path = targets[i].wstring();
        ok_ = ok_ && !ec &&
              RegSetValueExW(key, s.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                             DWORD((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
}

ThrowAwayUserFolders::~ThrowAwayUserFolders() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    for (const Saved& s : saved_) {
        if (s.present)
            RegSetValueExW(key, s.name.c_str(), 0, s.type, reinterpret_cast<const BYTE*>(s.value.c_str()),
                           DWORD((s.value.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, s.name.c_str());
    }
    RegCloseKey(key);
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::wstring& arguments) {
    const std::wstring path = program.wstring();
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info_))
        info_ = PROCESS_INFORMATION{};
}

ChildProcess::~ChildProcess() {
    if (!started()) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool ChildProcess::waitExit(int ms, DWORD& code) {
    if (!started()) return false;
    if (!pumpUntil([&] { return WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0; }, ms)) return false;
    return GetExitCodeProcess(info_.hProcess, &code) != FALSE;
}

bool postQuitToThreadOf(HWND window) {
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    return thread && PostThreadMessageW(thread, WM_QUIT, 0, 0);
}
