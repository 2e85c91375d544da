#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "files/fileio.h"
#include "files/paths.h"
#include "support/file_transfer.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace {

#ifdef _WIN32
// Wine's CreateSymbolicLinkW reports success and makes nothing (measured), so links are made and
// removed on the Unix side, by the system's programs run through the Z: drive. A Unix program's
// process cannot be waited on under Wine: the caller waits for the effect.
std::wstring unixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!unixName) return std::wstring();  // not Wine
    char* name = unixName(path.c_str());
    std::wstring out = name ? wideFromUtf8(name) : std::wstring();
    if (name) HeapFree(GetProcessHeap(), 0, name);
    return out;
}

bool runUnix(std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
#endif

}  // namespace

TestLink::TestLink(const std::wstring& target, const std::wstring& link, bool hard) : link_(link) {
#ifdef _WIN32
    const std::wstring from = unixPath(target), folder = unixPath(folderPart(link));
    if (from.empty() || folder.empty()) return;
    unixLink_ = folder + L"/" + fileNamePart(link);
    if (!runUnix(std::wstring(hard ? L"Z:\\bin\\ln \"" : L"Z:\\bin\\ln -s \"") + from + L"\" \"" + unixLink_ + L"\""))
        return;
    made_ = waitFor([&] { return fileAttributes(link) != kInvalidAttributes; });
#else
    const std::string from = utf8FromWide(target), to = utf8FromWide(link);
    made_ = (hard ? ::link(from.c_str(), to.c_str()) : ::symlink(from.c_str(), to.c_str())) == 0;
#endif
}

TestLink::~TestLink() {
    if (!made_) return;
#ifdef _WIN32
    // Left in place, the link would lead the folder's clean-up astray.
    if (runUnix(L"Z:\\bin\\rm -f \"" + unixLink_ + L"\""))
        waitFor([&] { return fileAttributes(link_) == kInvalidAttributes; });
#else
    ::unlink(utf8FromWide(link_).c_str());
#endif
}

#ifndef _WIN32
bool replaceDescriptorOf(const std::filesystem::path& path, int replacement) {
    const auto wanted = std::filesystem::canonical(path);
    int found = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == wanted && !ec)
            found = std::stoi(entry.path().filename().string());
    }
    const bool ok = found >= 0 && ::dup2(replacement, found) == found;
    ::close(replacement);
    return ok;
}

PipeUnderFile::PipeUnderFile(const std::filesystem::path& path) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    reader_ = ends[0];
    const int capacity = ::fcntl(reader_, F_GETPIPE_SZ);
    capacity_ = capacity > 0 ? size_t(capacity) : 0;
    const bool nonBlocking = ::fcntl(reader_, F_SETFL, O_NONBLOCK) == 0;
    ready_ = replaceDescriptorOf(path, ends[1]) && nonBlocking && capacity_ > 0;
}

PipeUnderFile::~PipeUnderFile() {
    if (reader_ >= 0) ::close(reader_);
}

bool PipeUnderFile::full() const {
    int queued = 0;
    return ::ioctl(reader_, FIONREAD, &queued) == 0 && size_t(queued) >= capacity_;
}

size_t PipeUnderFile::drain() {
    uint8_t buf[65536];
    size_t total = 0;
    for (ssize_t n; (n = ::read(reader_, buf, sizeof buf)) > 0;) total += size_t(n);
    return total;
}
#endif
