#include "core/config/store.h"

#include <utility>

#include "core/json.h"

#ifndef _WIN32
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::wstring profileSuffixFromArgs(const std::vector<std::wstring>& args) {
    std::wstring suffix;
    // The last "--profile" that has a word after it wins.
    for (size_t i = 1; i + 1 < args.size(); ++i)
        if (args[i] == L"--profile") suffix = L"-" + args[i + 1];
    return suffix;
}

Bytes readFile(const std::wstring& path) {
    Bytes out;
    if (!tryReadFile(path, out)) out.clear();
    return out;
}

std::wstring moveAside(const std::wstring& path) {
    for (int n = 1; n <= 9; ++n) {
        std::wstring target = path + L".bad" + (n == 1 ? std::wstring() : std::to_wstring(n));
        if (pathExists(target)) continue;
        return renamePath(path, target) ? target : std::wstring();
    }
    return std::wstring();
}

ConfigStore::ConfigStore(const std::wstring& baseDir, const std::wstring& suffix) {
    load(baseDir, suffix);
}

AppConfig ConfigStore::get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void ConfigStore::update(const std::function<void(AppConfig&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A callable that throws half way must not leave part of its change behind.
    AppConfig next = config_;
    change(next);
    config_ = std::move(next);
    save();
}

bool ConfigStore::save() {
    if (keepFile_) {
        logLine("설정 파일 저장 안 함: 읽을 수 없는 이전 설정 파일이 그 자리에 있음");
        return false;
    }
    std::string text = configToJson(config_).dump();
    bool ok = writeFileAtomic(configPath, asBytes(text));
    if (!ok) logLine("설정 파일 저장 실패");
    return ok;
}

void ConfigStore::load(const std::wstring& baseDir, const std::wstring& suffix) {
    profileDir = baseDir + kPathSeparator + L"Tavrel" + suffix;
    std::wstring former = baseDir + kPathSeparator + L"Varnoth" + suffix;
    // One-time move of the former product's folder, with everything in it. When it cannot move
    // now (a file in it held open), this run uses it where it is and the next start tries again,
    // rather than starting over in an empty folder without the keys and paired devices.
    if (!pathExists(profileDir) && pathExists(former) && !renamePath(former, profileDir)) {
        logLine("이전 설정 폴더를 옮기지 못함 → 이번에는 그 자리에서 사용함");
        profileDir = former;
    }
    createFolder(profileDir);
    configPath = profileDir + kPathSeparator + L"config.json";

    Bytes content;
    bool readOk = tryReadFile(configPath, content);
    Json value;
    if (readOk && Json::parse(spanToString(content), value) && value.isObject()) {
        config_ = configFromJson(value);
        return;
    }
    config_ = configFromJson(Json());
    // A file that is there but unusable is kept aside, so the next save does not overwrite
    // settings that a later version or the user may still be able to recover.
    if (!pathExists(configPath) || (readOk && content.empty())) return;
    std::wstring aside = moveAside(configPath);
    if (!aside.empty()) {
        logLine("설정 파일을 읽을 수 없어 옮겨 두고 기본값으로 시작함");
    } else {
        keepFile_ = true;
        logLine("설정 파일을 읽을 수 없음, 옮기지도 못함 → 기본값으로 시작함");
    }
}

ConfigStore& configStore() {
    // Detached threads may still read settings while the process exits.
    static ConfigStore* store = new ConfigStore(roamingAppDataFolder(), profileSuffix());
    return *store;
}

#ifndef _WIN32
// Native stand-ins for the Windows file calls: wide paths are UTF-32 here and go to the
// system as UTF-8.
namespace {

std::string nativePath(const std::wstring& path) {
    std::string out;
    for (wchar_t wc : path) {
        auto c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring wideFromNative(const std::string& s) {
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        uint32_t c = extra <= 0 ? b : (b & (0x3F >> extra));
        bool ok = extra >= 0 && i + size_t(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            auto cont = static_cast<unsigned char>(s[i + size_t(k)]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += size_t(extra) + 1;
    }
    return out;
}

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
                args.push_back(wideFromNative(arg));
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

void createFolder(const std::wstring& path) {
    ::mkdir(nativePath(path).c_str(), 0700);
}

std::wstring roamingAppDataFolder() {
    // The per-user configuration folder of the desktop conventions.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return wideFromNative(xdg);
    const char* home = std::getenv("HOME");
    if (home && *home) return wideFromNative(std::string(home) + "/.config");
    return L".";
}
#endif
