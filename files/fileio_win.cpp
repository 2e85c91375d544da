// The file calls of the transfer over Win32, with the flags the sender and receiver rely on.
#include "files/fileio.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "core/text.h"
#include "files/paths.h"

std::wstring wideFromUtf8(const std::string& text) { return utf8ToWide(text); }
std::string utf8FromWide(const std::wstring& text) { return wideToUtf8(text); }

uint32_t fileAttributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool fileInfo(const std::wstring& path, FileInfo& out) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    out.attributes = data.dwFileAttributes;
    out.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool walkFolder(const std::wstring& folder, const std::function<bool(const FolderEntry&)>& visit, uint32_t* error) {
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW(joinPath(folder, L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // An empty drive root has no "." entry to find; it is an empty folder, not a failure.
        if (code == ERROR_FILE_NOT_FOUND) {
            const DWORD attributes = GetFileAttributesW(folder.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
        }
        if (error) *error = code;
        return false;
    }
    FolderEntry entry;
    do {
        entry.name = found.cFileName;
        entry.attributes = found.dwFileAttributes;
        entry.size = (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        entry.writeTime = int64_t((uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                  found.ftLastWriteTime.dwLowDateTime);
        if (!visit(entry)) break;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return true;
}

uint32_t createScratchFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

uint32_t createDirectory(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) ? 0 : GetLastError();
}

uint32_t moveFile(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), 0) ? 0 : GetLastError();
}

uint32_t deleteFile(const std::wstring& path) { return DeleteFileW(path.c_str()) ? 0 : GetLastError(); }

FileHandle::FileHandle(FileHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)), openError_(other.openError_) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        openError_ = other.openError_;
    }
    return *this;
}

FileHandle FileHandle::openForReading(const std::wstring& path) {
    FileHandle f;
    f.handle_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!f.valid()) f.openError_ = GetLastError();
    return f;
}

FileHandle FileHandle::createForWriting(const std::wstring& path, uint32_t attributes) {
    FileHandle f;
    f.handle_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (!f.valid()) f.openError_ = GetLastError();
    return f;
}

FileHandle FileHandle::createNew(const std::wstring& path, uint32_t attributes) {
    FileHandle f;
    f.handle_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    if (!f.valid()) f.openError_ = GetLastError();
    return f;
}

bool FileHandle::valid() const { return handle_ != INVALID_HANDLE_VALUE; }

uint32_t FileHandle::read(uint8_t* buffer, size_t length, size_t& got) {
    got = 0;
    DWORD n = 0;
    if (!ReadFile(handle_, buffer, DWORD(std::min<size_t>(length, 0x40000000)), &n, nullptr)) return GetLastError();
    got = n;
    return 0;
}

uint32_t FileHandle::write(const uint8_t* data, size_t length) {
    DWORD n = 0;
    if (length > 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
    if (!WriteFile(handle_, data, DWORD(length), &n, nullptr)) return GetLastError();
    return n == length ? 0 : kErrDiskFull;
}

void FileHandle::close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}
