// The system's error texts and the Downloads known folder.
#include "files/status.h"

#include <windows.h>
#include <knownfolders.h>

#include "core/text.h"
#include "files/fileio.h"
#include "files/listing.h"

std::string winErrorText(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    if (!text.empty()) return wideToUtf8(text);
    return "오류 " + std::to_string(code);
}

std::wstring downloadsFolder() {
    const std::wstring known = knownFolderPath(FOLDERID_Downloads);
    std::wstring profile;
    if (known.empty()) {
        // However long the value is: a profile path of 260 characters or more still has a Downloads.
        const DWORD needed = GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0);
        if (needed > 1) {
            profile.resize(needed);
            const DWORD got = GetEnvironmentVariableW(L"USERPROFILE", profile.data(), needed);
            profile.resize(got < needed ? got : 0);
        }
    }
    ReceiveFolderChoice choice = chooseDownloadsFolder(known, profile);
    if (choice.create) CreateDirectoryW(choice.folder.c_str(), nullptr);
    return choice.folder;
}
