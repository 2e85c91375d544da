// The Windows half of the store: command line, known folders and wide-path file calls.
#include "core/config/store.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>

namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    bool close() {
        if (!valid()) return true;
        BOOL ok = CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE h_;
};

}  // namespace

std::wstring profileSuffix() {
    std::vector<std::wstring> args;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv) {
        for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
        LocalFree(argv);
    }
    return profileSuffixFromArgs(args);
}

bool tryReadFile(const std::wstring& path, Bytes& out) {
    out.clear();
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    uint8_t buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &got, nullptr)) {
            out.clear();
            return false;
        }
        if (got == 0) return true;
        out.insert(out.end(), buf, buf + got);
    }
}

bool writeFileAtomic(const std::wstring& path, ByteSpan bytes) {
    std::wstring tmp = path + L".tmp";
    FileHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD wrote = 0;
        ok = WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
        done += wrote;
    }
    ok = ok && FlushFileBuffers(file.get());
    ok = file.close() && ok;
    if (ok && MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(tmp.c_str());
    return false;
}

bool pathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool renamePath(const std::wstring& from, const std::wstring& to) {
    return MoveFileW(from.c_str(), to.c_str()) != FALSE;  // fails when `to` exists
}

bool removeFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

bool createFolder(const std::wstring& path) {
    CreateDirectoryW(path.c_str(), nullptr);  // already there is fine
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring roamingAppDataFolder() {
    PWSTR found = nullptr;
    std::wstring base;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &found)) && found) base = found;
    if (found) CoTaskMemFree(found);
    return base;
}

ProfileLock::ProfileLock(const std::wstring& profileDir) {
    const std::wstring path = profileDir + L"\\" + kFileName;
    // Sharing nothing: no other process opens the file, nor moves or deletes it, while this one
    // lives; the system closes the handle with the process however it ends.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        state_ = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? State::Busy : State::Failed;
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    state_ = State::Held;
}

ProfileLock::~ProfileLock() {
    if (state_ == State::Held) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
