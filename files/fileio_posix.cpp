// Native stand-ins for the Win32 file calls of the transfer, so that the code above them runs and
// is tested natively with real files. Errors come out in Windows numbering; a rename never
// replaces; a name that starts with a dot reads as hidden and a symbolic link as a reparse point,
// as under Wine.
#include "files/fileio.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/text.h"
#include "files/paths.h"

namespace {

uint32_t windowsError(int error) {
    switch (error) {
        case ENOENT: return kErrFileNotFound;
        case ENOTDIR: return kErrPathNotFound;
        case EACCES: case EPERM: case EISDIR: return kErrAccessDenied;
        case EMFILE: case ENFILE: return kErrTooManyOpenFiles;
        case ENOSPC: case EDQUOT: return kErrDiskFull;
        case EEXIST: return kErrAlreadyExists;
        case ENOTEMPTY: return 145;      // ERROR_DIR_NOT_EMPTY
        case ENAMETOOLONG: return 206;   // ERROR_FILENAME_EXCED_RANGE
        case EROFS: return 19;           // ERROR_WRITE_PROTECT
        case EXDEV: return 17;           // ERROR_NOT_SAME_DEVICE
        case EINVAL: return 87;          // ERROR_INVALID_PARAMETER
        case EFBIG: return 223;          // ERROR_FILE_TOO_LARGE
        case EIO: return 1117;           // ERROR_IO_DEVICE
        default: return 31;              // ERROR_GEN_FAILURE
    }
}

// A missing folder on the way to a name that is being created is a path Windows cannot find.
uint32_t creationError(int error) { return error == ENOENT ? kErrPathNotFound : windowsError(error); }

std::string nativePath(const std::wstring& path) { return utf8FromWide(path); }

// The last write as Windows counts it: 100-nanosecond units since 1601, kept within range.
int64_t fileTimeOf(const struct stat& st) {
    constexpr int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970
    constexpr int64_t kUnits = 10000000;
    const int64_t seconds = std::clamp<int64_t>(int64_t(st.st_mtim.tv_sec), -kEpochDifference,
                                                INT64_MAX / kUnits - kEpochDifference - 1);
    return (seconds + kEpochDifference) * kUnits + int64_t(st.st_mtim.tv_nsec) / 100;
}

uint32_t attributesOf(const std::string& path, const std::wstring& name, uint64_t* size,
                      struct stat* followed = nullptr) {
    struct stat link{};
    if (::lstat(path.c_str(), &link) != 0) return kInvalidAttributes;
    struct stat target = link;
    uint32_t attributes = 0;
    if (S_ISLNK(link.st_mode)) {
        attributes |= kAttrReparsePoint;
        if (::stat(path.c_str(), &target) != 0) target = link;  // dangling
    }
    if (S_ISDIR(target.st_mode)) attributes |= kAttrDirectory;
    if (!name.empty() && name[0] == L'.') attributes |= kAttrHidden;
    if (attributes == 0) attributes = kAttrNormal;
    if (size) *size = S_ISREG(target.st_mode) ? uint64_t(target.st_size) : 0;
    if (followed) *followed = target;
    return attributes;
}

}  // namespace

std::wstring wideFromUtf8(const std::string& text) { return portableUtf8ToWide(text); }
std::string utf8FromWide(const std::wstring& text) { return portableWideToUtf8(text); }

uint32_t fileAttributes(const std::wstring& path) {
    return attributesOf(nativePath(path), fileNamePart(path), nullptr);
}

bool fileInfo(const std::wstring& path, FileInfo& out) {
    uint64_t size = 0;
    const uint32_t attributes = attributesOf(nativePath(path), fileNamePart(path), &size);
    if (attributes == kInvalidAttributes) return false;
    out.attributes = attributes;
    out.size = size;
    return true;
}

bool walkFolder(const std::wstring& folder, const std::function<bool(const FolderEntry&)>& visit, uint32_t* error) {
    const std::string base = nativePath(folder);
    DIR* dir = ::opendir(base.c_str());
    if (!dir) {
        if (error) *error = windowsError(errno);
        return false;
    }
    while (const dirent* found = ::readdir(dir)) {
        FolderEntry entry;
        entry.name = wideFromUtf8(found->d_name);
        struct stat st{};
        entry.attributes = attributesOf(nativePath(joinPath(folder, entry.name)), entry.name, &entry.size, &st);
        if (entry.attributes == kInvalidAttributes) continue;  // gone meanwhile
        entry.writeTime = fileTimeOf(st);
        if (!visit(entry)) break;
    }
    ::closedir(dir);
    return true;
}

uint32_t createScratchFile(const std::wstring& path) {
    const std::string name = nativePath(path);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return creationError(errno);
    ::close(fd);
    ::unlink(name.c_str());
    return 0;
}

uint32_t createDirectory(const std::wstring& path) {
    return ::mkdir(nativePath(path).c_str(), 0777) == 0 ? 0 : creationError(errno);
}

uint32_t moveFile(const std::wstring& from, const std::wstring& to) {
    const std::string source = nativePath(from), target = nativePath(to);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return windowsError(errno);
    // A file system without the flag: a second name, then the first one goes.
    if (::link(source.c_str(), target.c_str()) != 0) return windowsError(errno);
    ::unlink(source.c_str());
    return 0;
}

uint32_t deleteFile(const std::wstring& path) {
    return ::unlink(nativePath(path).c_str()) == 0 ? 0 : windowsError(errno);
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), openError_(other.openError_) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        openError_ = other.openError_;
    }
    return *this;
}

FileHandle FileHandle::openForReading(const std::wstring& path) {
    FileHandle f;
    f.fd_ = ::open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd_ < 0) {
        f.openError_ = windowsError(errno);
        return f;
    }
    struct stat st{};
    if (::fstat(f.fd_, &st) == 0 && S_ISDIR(st.st_mode)) {  // Windows opens no folder as a file
        f.close();
        f.openError_ = kErrAccessDenied;
    }
    return f;
}

FileHandle FileHandle::createForWriting(const std::wstring& path, uint32_t) {
    FileHandle f;
    f.fd_ = ::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f.fd_ < 0) f.openError_ = creationError(errno);
    return f;
}

FileHandle FileHandle::createNew(const std::wstring& path, uint32_t) {
    FileHandle f;
    f.fd_ = ::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (f.fd_ < 0) f.openError_ = creationError(errno);
    return f;
}

bool FileHandle::valid() const { return fd_ >= 0; }

uint32_t FileHandle::read(uint8_t* buffer, size_t length, size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, length);
        if (n >= 0) {
            got = size_t(n);
            return 0;
        }
        if (errno != EINTR) return windowsError(errno);
    }
}

uint32_t FileHandle::write(const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return windowsError(errno);
        if (n == 0) return kErrDiskFull;
        data += n;
        length -= size_t(n);
    }
    return 0;
}

void FileHandle::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
