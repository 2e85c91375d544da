// Sealing for the current user with the Windows data-protection API.
#include "core/config/keys.h"

#include <windows.h>
#include <dpapi.h>

namespace {

// Frees a buffer the data-protection API allocated, wiping it first when it held a secret.
class LocalBlob {
public:
    explicit LocalBlob(bool secret) : secret_(secret) {}
    ~LocalBlob() {
        if (!blob.pbData) return;
        if (secret_) wipeSecret(blob.pbData, blob.cbData);
        LocalFree(blob.pbData);
    }
    LocalBlob(const LocalBlob&) = delete;
    LocalBlob& operator=(const LocalBlob&) = delete;

    DATA_BLOB blob{0, nullptr};

private:
    bool secret_;
};

DATA_BLOB inputBlob(ByteSpan data) {
    // The API refuses a null pointer even for no bytes, and takes a non-const pointer that it
    // only reads.
    static BYTE none = 0;
    BYTE* p = data.empty() ? &none : const_cast<BYTE*>(data.data());
    return DATA_BLOB{DWORD(data.size()), p};
}

}  // namespace

bool sealForUser(ByteSpan plain, const std::wstring& description, Bytes& sealed) {
    sealed.clear();
    if (plain.size() > MAXDWORD) return false;
    DATA_BLOB in = inputBlob(plain);
    LocalBlob out(false);
    if (!CryptProtectData(&in, description.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out.blob))
        return false;
    sealed.assign(out.blob.pbData, out.blob.pbData + out.blob.cbData);
    return true;
}

bool unsealForUser(ByteSpan sealed, Bytes& plain) {
    plain.clear();
    if (sealed.empty() || sealed.size() > MAXDWORD) return false;
    DATA_BLOB in = inputBlob(sealed);
    LocalBlob out(true);
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out.blob))
        return false;
    plain.assign(out.blob.pbData, out.blob.pbData + out.blob.cbData);
    return true;
}
