// The native half of the store: file calls on wide paths, which are UTF-32 here and go to the
// system as UTF-8, the command line and the per-user configuration folder.
#include "core/config/store.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text.h"

namespace {

std::string nativePath(const std::wstring& path) { return portableWideToUtf8(path); }

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

}  // namespace

std::wstring profileSuffix() {
    // The command line as the kernel recorded it: arguments separated by NUL bytes.
    std::vector<std::wstring> args;
    if (std::FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        std::string arg;
        int c;
        while ((c = std::fgetc(f)) != EOF) {
            if (c == 0) {
                args.push_back(portableUtf8ToWide(arg));
                arg.clear();
            } else {
                arg += char(c);
            }
        }
        std::fclose(f);
    }
    return profileSuffixFromArgs(args);
}

bool tryReadFile(const std::wstring& path, Bytes& out) {
    out.clear();
    int fd = ::open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) { ok = false; break; }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    if (!ok) out.clear();
    return ok;
}

bool writeFileAtomic(const std::wstring& path, ByteSpan bytes) {
    std::string target = nativePath(path);
    std::string tmp = target + ".tmp";
    // Owner-only: the profile folder holds sealed secrets.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size());
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
}

bool pathExists(const std::wstring& path) {
    struct stat st;
    return ::lstat(nativePath(path).c_str(), &st) == 0;
}

bool renamePath(const std::wstring& from, const std::wstring& to) {
    if (pathExists(to)) return false;
    return ::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0;
}

bool removeFile(const std::wstring& path) { return ::unlink(nativePath(path).c_str()) == 0; }

bool createFolder(const std::wstring& path) {
    const std::string native = nativePath(path);
    ::mkdir(native.c_str(), 0700);
    struct stat st {};
    return ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring roamingAppDataFolder() {
    // The per-user configuration folder of the desktop conventions.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return portableUtf8ToWide(xdg);
    const char* home = std::getenv("HOME");
    if (home && *home) return portableUtf8ToWide(std::string(home) + "/.config");
    return std::wstring();
}

ProfileLock::ProfileLock(const std::wstring& profileDir) {
    const std::string path = nativePath(profileDir + L"/" + kFileName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // An advisory lock of this open file: a second open, even in this process, cannot take it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        state_ = errno == EWOULDBLOCK ? State::Busy : State::Failed;
        ::close(fd);
        return;
    }
    handle_ = fd;
    state_ = State::Held;
}

ProfileLock::~ProfileLock() {
    if (state_ == State::Held) ::close(int(handle_));
}
