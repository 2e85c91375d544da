#include "core/config/keys.h"

#include "core/config/store.h"

namespace {

std::wstring passwordPath(const std::wstring& profileDir) {
    return profileDir + kPathSeparator + L"password.bin";
}

}  // namespace

void wipeSecret(void* data, size_t length) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) p[i] = 0;
}

KeyPair DeviceKeyCache::get() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_) return pair_;
    std::wstring path = profileDir_ + kPathSeparator + L"device.key";
    Bytes sealed;
    bool readOk = tryReadFile(path, sealed);
    if (readOk && !sealed.empty()) {
        Bytes secret;
        if (unsealForUser(sealed, secret) && secret.size() == 32) {
            pair_ = keyPairFromSecret(secret);
            loaded_ = true;
        }
        wipeSecret(secret.data(), secret.size());
        if (loaded_) return pair_;
    }

    KeyPair fresh = newKeyPair();  // may throw; then nothing has changed on disk
    if (pathExists(path) && !(readOk && sealed.empty())) {
        // The old key may only be sealed for another account or unreadable for a moment: keep it.
        if (!moveAside(path).empty()) {
            logLine("장치 키를 쓸 수 없어 옮겨 두고 새 키를 만듦");
        } else {
            // Keeping it in place would make a new identity at every start.
            logLine("장치 키를 쓸 수 없고 옮기지도 못함 → 새 키로 바꿈");
        }
    }
    Bytes newSealed;
    if (!sealForUser(fresh.privateKey, L"Tavrel device key", newSealed) || !writeFileAtomic(path, newSealed))
        logLine("장치 키를 저장하지 못함 → 이번 실행에만 새 키 사용");
    wipeSecret(newSealed.data(), newSealed.size());
    pair_ = std::move(fresh);
    loaded_ = true;
    return pair_;
}

KeyPair loadDeviceKey() {
    // Detached threads may ask for the key while the process exits.
    static DeviceKeyCache* cache = new DeviceKeyCache(configStore().profileDir);
    return cache->get();
}

std::string loadPasswordFrom(const std::wstring& profileDir) {
    Bytes sealed = readFile(passwordPath(profileDir));
    if (sealed.empty()) return std::string();
    Bytes plain;
    std::string password;
    if (unsealForUser(sealed, plain)) password.assign(plain.begin(), plain.end());
    wipeSecret(plain.data(), plain.size());
    return password;
}

bool savePasswordTo(const std::wstring& profileDir, const std::string& password) {
    Bytes sealed;
    if (!sealForUser(asBytes(password), L"Tavrel login password", sealed)) return false;
    return writeFileAtomic(passwordPath(profileDir), sealed);
}

std::string loadPassword() { return loadPasswordFrom(configStore().profileDir); }

bool savePassword(const std::string& password) { return savePasswordTo(configStore().profileDir, password); }
