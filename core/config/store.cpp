#include "core/config/store.h"

#include <mutex>
#include <string_view>
#include <utility>

#include "core/json.h"

namespace {

constexpr int kAsideNames = 9;  // ".bad", ".bad2" ... ".bad9"
// The settings are the user's own, with room for thousands of registered computers; bounded all
// the same, so a damaged file cannot take all memory.
constexpr size_t kConfigMaxValues = size_t(1) << 20;

std::wstring asideName(const std::wstring& path, int n) {
    return path + L".bad" + (n == 1 ? std::wstring() : std::to_wstring(n));
}

// What the process-wide store uses instead of the roaming folder; set by tests only.
struct ProfileBase {
    std::mutex mutex;
    std::wstring folder;
};
ProfileBase& profileBaseOverride() {
    static auto* base = new ProfileBase;
    return *base;
}

}  // namespace

std::wstring profileSuffixFromArgs(const std::vector<std::wstring>& args) {
    std::wstring suffix;
    // The last "--profile" that has a word after it wins.
    for (size_t i = 1; i + 1 < args.size(); ++i)
        if (args[i] == L"--profile") suffix = L"-" + args[i + 1];
    return suffix;
}

namespace {

bool deviceName(const std::wstring& name) {
    // The part before the first dot decides: "con.txt" names the console as well.
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem)
        if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
    for (const wchar_t* reserved : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (stem == reserved) return true;
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           ((stem[3] >= L'0' && stem[3] <= L'9') || stem[3] == L'\u00B9' || stem[3] == L'\u00B2' ||
            stem[3] == L'\u00B3');
}

}  // namespace

bool validProfileName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxProfileName) return false;
    if (name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) return false;
        if (std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !deviceName(name);
}

std::wstring foldProfileName(const std::wstring& name) {
    std::wstring out = name;
    for (wchar_t& c : out) {
        const unsigned u = unsigned(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7) || (u >= 0x391 && u <= 0x3AB && u != 0x3A2) ||
            (u >= 0x410 && u <= 0x42F) || (u >= 0xFF21 && u <= 0xFF3A)) {
            c = wchar_t(u + 0x20);
        } else if (u == 0x178) {
            c = wchar_t(0xFF);
        } else if (u >= 0x400 && u <= 0x40F) {
            c = wchar_t(u + 0x50);
        } else if ((u >= 0x100 && u <= 0x12F) || (u >= 0x132 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) {
            c = wchar_t(u | 1);  // pairs: capital on the even code point
        } else if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) {
            if (u % 2 == 1) c = wchar_t(u + 1);  // pairs: capital on the odd code point
        }
    }
    return out;
}

Bytes readFile(const std::wstring& path) {
    Bytes out;
    if (!tryReadFile(path, out)) out.clear();
    return out;
}

std::wstring moveAside(const std::wstring& path) {
    if (!pathExists(path)) return std::wstring();
    for (int n = 1; n <= kAsideNames; ++n) {
        std::wstring target = asideName(path, n);
        if (pathExists(target)) continue;
        return renamePath(path, target) ? target : std::wstring();
    }
    // Every name is taken: the oldest (".bad") goes, the others move down one name, and this file
    // becomes the newest, so that keeping files aside never stops.
    if (!removeFile(asideName(path, 1))) return std::wstring();
    for (int n = 2; n <= kAsideNames; ++n)
        if (!renamePath(asideName(path, n), asideName(path, n - 1))) return std::wstring();
    std::wstring last = asideName(path, kAsideNames);
    return renamePath(path, last) ? last : std::wstring();
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
    if (!folderReady) return false;  // never beside the program or in the current folder
    std::string text = configToJson(config_).dump();
    bool ok = writeFileAtomic(configPath, asBytes(text));
    if (!ok) logLine("설정 파일 저장 실패");
    return ok;
}

void ConfigStore::load(const std::wstring& baseDir, const std::wstring& suffix) {
    config_ = configFromJson(Json());
    if (baseDir.empty()) {
        // A folder relative to wherever the process was started would be a different one each time.
        profileDir = L"Tavrel" + suffix;
        return;
    }
    profileDir = baseDir + kPathSeparator + L"Tavrel" + suffix;
    std::wstring former = baseDir + kPathSeparator + L"Varnoth" + suffix;
    // One-time move of the former product's folder, with everything in it. When it cannot move
    // now (a file in it held open), this run uses it where it is and the next start tries again,
    // rather than starting over in an empty folder without the keys and paired devices.
    if (!pathExists(profileDir) && pathExists(former) && !renamePath(former, profileDir)) {
        logLine("이전 설정 폴더를 옮기지 못함 → 이번에는 그 자리에서 사용함");
        profileDir = former;
    }
    folderReady = createFolder(profileDir);
    configPath = profileDir + kPathSeparator + L"config.json";
    if (!folderReady) return;

    Bytes content;
    bool readOk = tryReadFile(configPath, content);
    std::string text = spanToString(content);
    // Notepad saves UTF-8 with a byte-order mark; the settings after it are the user's all the same.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    Json value;
    if (readOk && Json::parse(text, value, kConfigMaxValues) && value.isObject()) {
        config_ = configFromJson(value);
        return;
    }
    // A file that is there but unusable is kept aside, so the next save does not overwrite
    // settings that a later version or the user may still be able to recover.
    if (!pathExists(configPath) || (readOk && text.empty())) return;
    if (!moveAside(configPath).empty()) {
        logLine("설정 파일을 읽을 수 없어 옮겨 두고 기본값으로 시작함");
    } else {
        // Not saving would lose every later change as well, at every start.
        logLine("설정 파일을 읽을 수 없음, 옮기지도 못함 → 기본값으로 시작하고 다음 저장 때 덮어씀");
    }
}

void useProfileBase(const std::wstring& folder) {
    ProfileBase& base = profileBaseOverride();
    std::lock_guard<std::mutex> lock(base.mutex);
    base.folder = folder;
}

std::wstring profileBase() {
    ProfileBase& base = profileBaseOverride();
    std::lock_guard<std::mutex> lock(base.mutex);
    return base.folder.empty() ? roamingAppDataFolder() : base.folder;
}

ConfigStore& configStore() {
    // Detached threads may still read settings while the process exits.
    static ConfigStore* store = new ConfigStore(profileBase(), profileSuffix());
    return *store;
}

