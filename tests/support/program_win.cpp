#include "support/program_win.h"

#include "support/pump_win.h"

namespace {

constexpr wchar_t kUserShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool setText(const wchar_t* key, const wchar_t* name, DWORD type, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, value.c_str(),
                           DWORD((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

ThrowAwayUserFolders::ThrowAwayUserFolders() {
    const std::filesystem::path targets[2] = {roaming(), local()};
    ok_ = true;
    for (int i = 0; i < 4; ++i) {
        Saved& s = saved_[i];
        s.key = i < 2 ? kUserShellFolders : kShellFolders;
        s.name = i % 2 ? L"Local AppData" : L"AppData";
        wchar_t value[1024] = {};
        DWORD size = sizeof value;
        s.present = RegGetValueW(HKEY_CURRENT_USER, s.key, s.name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                 &s.type, value, &size) == ERROR_SUCCESS;
        if (s.present) s.value = value;
        std::error_code ec;
        std::filesystem::create_directories(targets[i % 2], ec);  // the system finds only existing folders
        ok_ = ok_ && !ec && setText(s.key, s.name, REG_SZ, targets[i % 2].wstring());
    }
}

ThrowAwayUserFolders::~ThrowAwayUserFolders() {
    for (const Saved& s : saved_) {
        if (s.present)
            setText(s.key, s.name, s.type, s.value);
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, s.key, s.name);
    }
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::wstring& arguments,
                           const std::filesystem::path& folder) {
    const std::wstring path = program.wstring();
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    job_.start(path, commandLine, 0, startup, info_, false, folder.wstring());
}

ChildProcess::~ChildProcess() {
    if (!started()) return;
    job_.endAll();
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool ChildProcess::waitExit(int ms, DWORD& code) {
    if (!started()) return false;
    if (!pumpUntil([&] { return WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0; }, ms)) return false;
    return GetExitCodeProcess(info_.hProcess, &code) != FALSE;
}

std::string readSharedFile(const std::filesystem::path& path) {
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string text;
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

bool postQuitToThreadOf(HWND window) {
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    return thread && PostThreadMessageW(thread, WM_QUIT, 0, 0);
}
