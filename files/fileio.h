// The few file-system calls the file transfer makes, over Win32 on Windows and POSIX elsewhere, so
// that the sender, the receiver and the batch expansion above them are the same on both.
// Errors are Windows error numbers on every platform (winErrorText in files/status.h reads them). Paths are wide
// strings split and joined at kPathSeparator; callers pass them in long-path form (longPath).
// Natively a wide string holds one code point per unit and reaches the system as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/config/store.h"

// Windows error numbers the file code names.
inline constexpr uint32_t kErrFileNotFound = 2;
inline constexpr uint32_t kErrPathNotFound = 3;
inline constexpr uint32_t kErrTooManyOpenFiles = 4;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrInvalidData = 13;
inline constexpr uint32_t kErrHandleEof = 38;
inline constexpr uint32_t kErrDiskFull = 112;
inline constexpr uint32_t kErrInvalidName = 123;
inline constexpr uint32_t kErrAlreadyExists = 183;
inline constexpr uint32_t kErrTimeout = 1460;

// File attribute bits as Windows reports them.
inline constexpr uint32_t kAttrHidden = 0x2;
inline constexpr uint32_t kAttrSystem = 0x4;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kAttrReparsePoint = 0x400;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

// The length of the shortest root path ("C:\" on Windows, "/" elsewhere).
#ifdef _WIN32
inline constexpr size_t kRootLength = 3;
#else
inline constexpr size_t kRootLength = 1;
#endif

// UTF-8 to wide text and back as the file code converts it: the system's converters on Windows;
// natively the same rules (a malformed sequence becomes U+FFFD).
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);

// GetFileAttributesW: kInvalidAttributes when the path cannot be examined. Natively a name that
// starts with a dot reads as hidden and a symbolic link as a reparse point (a folder when it
// leads to one).
uint32_t fileAttributes(const std::wstring& path);

struct FileInfo {
    uint32_t attributes = 0;
    uint64_t size = 0;
};
// GetFileAttributesExW (standard information); false when the path cannot be examined.
bool fileInfo(const std::wstring& path, FileInfo& out);

struct FolderEntry {
    std::wstring name;
    uint32_t attributes = 0;
    uint64_t size = 0;
    int64_t writeTime = 0;  // last write, in 100-nanosecond units since 1601-01-01 UTC
};
// Every entry of a folder ("." and ".." included) in the order the file system gives them
// (FindFirstFileW / FindNextFileW on folder + "\*"). False when the folder cannot be listed.
bool listFolder(const std::wstring& folder, std::vector<FolderEntry>& out);
// The same walk, one entry at a time, until `visit` returns false. False, with the error in
// `error` when given, when the folder cannot be listed.
bool walkFolder(const std::wstring& folder, const std::function<bool(const FolderEntry&)>& visit,
                uint32_t* error = nullptr);

// Creates a new file (never one that exists), hidden, deleted again as it is closed, and closes
// it at once: whether files can be made there. 0, or the error.
uint32_t createScratchFile(const std::wstring& path);

// CreateDirectoryW: 0, or the error (kErrAlreadyExists when the name is taken).
uint32_t createDirectory(const std::wstring& path);
// MoveFileExW without replacing: 0, or the error (kErrAlreadyExists when `to` is taken).
uint32_t moveFile(const std::wstring& from, const std::wstring& to);
// DeleteFileW: 0, or the error.
uint32_t deleteFile(const std::wstring& path);

// One open file. Move-only; closes itself.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() { close(); }
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // A file to send: read access, shared for reading, writing and deleting, sequential scan.
    static FileHandle openForReading(const std::wstring& path);
    // A file to fill: write access, no sharing, emptied or created; `attributes` as CreateFileW
    // takes them (kAttrNormal, or 0).
    static FileHandle createForWriting(const std::wstring& path, uint32_t attributes);
    // A new file to fill: write access, no sharing; fails when anything, a link included, already
    // has the name, so that nothing the name leads to is ever written through.
    static FileHandle createNew(const std::wstring& path, uint32_t attributes);

    bool valid() const;
    // The error of the open that failed.
    uint32_t openError() const { return openError_; }
    // One read of up to `length` bytes: 0 and `got` (0 at the end of the file), or the error.
    uint32_t read(uint8_t* buffer, size_t length, size_t& got);
    // Writes all `length` bytes with one call: 0, or the error (a short write is a full disk).
    uint32_t write(const uint8_t* data, size_t length);
    void close();

private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(intptr_t(-1));
#else
    int fd_ = -1;
#endif
    uint32_t openError_ = 0;
};
