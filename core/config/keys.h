// The two secrets of the profile folder, sealed for the current user: device.key (this PC's
// long-term private key) and password.bin (the password for connections by access ID).
#pragma once

#include <mutex>
#include <string>

#include "core/util.h"

// Seals `plain` so that only the current user can unseal it. Windows: CryptProtectData with
// CRYPTPROTECT_UI_FORBIDDEN and `description`; the result is exactly its output.
bool sealForUser(ByteSpan plain, const std::wstring& description, Bytes& sealed);
// Unseals what sealForUser made for this user; false for anything else. The caller wipes `plain`.
bool unsealForUser(ByteSpan sealed, Bytes& plain);

// Overwrites a secret in memory before it is released.
void wipeSecret(void* data, size_t length);

// The stored password (UTF-8 bytes), or empty when there is none or it cannot be unsealed.
std::string loadPassword();
// Seals and stores the password; true when password.bin now holds it.
bool savePassword(const std::string& password);

// The same for an explicit profile folder.
std::string loadPasswordFrom(const std::wstring& profileDir);
bool savePasswordTo(const std::wstring& profileDir, const std::string& password);
