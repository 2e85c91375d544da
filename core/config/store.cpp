#include "core/config/store.h"

#include <mutex>
#include <utility>

#include "core/json.h"

namespace {

constexpr int kAsideNames = 9;  // ".bad", ".bad2" ... ".bad9"

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
    std::string text = spanToString(content);
    // Notepad saves UTF-8 with a byte-order mark; the settings after it are the user's all the same.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    Json value;
    if (readOk && Json::parse(text, value) && value.isObject()) {
        config_ = configFromJson(value);
        return;
    }
    config_ = configFromJson(Json());
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

