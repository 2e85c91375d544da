// The two secrets of the profile folder, sealed for the current user: device.key (this PC's
// long-term private key) and password.bin (the password for connections by access ID).
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "core/crypto/x25519.h"
#include "core/util.h"

// Seals `plain` so that only the current user can unseal it. Windows: CryptProtectData with
// CRYPTPROTECT_UI_FORBIDDEN and `description`; the result is exactly its output.
bool sealForUser(ByteSpan plain, const std::wstring& description, Bytes& sealed);
// Unseals what sealForUser made for this user; false for anything else. The caller wipes `plain`.
bool unsealForUser(ByteSpan sealed, Bytes& plain);

// Overwrites a secret in memory before it is released.
void wipeSecret(void* data, size_t length);

// This PC's long-term key pair: loaded from device.key at the first call (or created when no
// usable key is there) and then served from memory. Never fails except when the random source does.
KeyPair loadDeviceKey();

// The load-or-create of device.key for one profile folder, done once and then cached.
// A device.key that is there but cannot be used is renamed to device.key.bad (or .bad2 ...)
// before a new key takes its place, so an identity is never destroyed by a passing failure.
class DeviceKeyCache {
public:
    explicit DeviceKeyCache(std::wstring profileDir) : profileDir_(std::move(profileDir)) {}
    KeyPair get();

private:
    std::mutex mutex_;
    std::wstring profileDir_;
    KeyPair pair_;
    bool loaded_ = false;
};

// The stored password (UTF-8 bytes), or empty when there is none or it cannot be unsealed.
std::string loadPassword();
// Seals and stores the password; true when password.bin now holds it.
bool savePassword(const std::string& password);

// The same for an explicit profile folder.
std::string loadPasswordFrom(const std::wstring& profileDir);
bool savePasswordTo(const std::wstring& profileDir, const std::string& password);
