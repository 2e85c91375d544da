// The sealed files are exactly what the Windows data-protection API produced.
#include <gtest/gtest.h>

#include <windows.h>
#include <dpapi.h>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/config/temp_folder.h"

namespace {

// Unseals with the system call directly and returns the plaintext and the stored description.
bool systemUnseal(const Bytes& sealed, std::string& plain, std::wstring& description) {
    DATA_BLOB in{DWORD(sealed.size()), const_cast<BYTE*>(sealed.data())};
    DATA_BLOB out{0, nullptr};
    LPWSTR descr = nullptr;
    if (!CryptUnprotectData(&in, &descr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return false;
    plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    description = descr ? descr : L"";
    LocalFree(out.pbData);
    if (descr) LocalFree(descr);
    return true;
}

}  // namespace

TEST(WinSealedFiles, PasswordFileIsTheSystemsSealedBlob) {
    TempFolder dir;
    ASSERT_TRUE(savePasswordTo(dir.wide(), "\uBE44\uBC00"));
    std::string plain;
    std::wstring description;
    ASSERT_TRUE(systemUnseal(readFile(dir / L"password.bin"), plain, description));
    EXPECT_EQ(plain, "\uBE44\uBC00");
    EXPECT_EQ(description, L"Tavrel login password");
}

TEST(WinSealedFiles, ContentSealedElsewhereByTheSystemIsRead) {
    TempFolder dir;
    std::string pw = "from the system";
    DATA_BLOB in{DWORD(pw.size()), reinterpret_cast<BYTE*>(pw.data())};
    DATA_BLOB out{0, nullptr};
    ASSERT_TRUE(CryptProtectData(&in, L"x", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    Bytes sealed(out.pbData, out.pbData + out.cbData);
    LocalFree(out.pbData);
    ASSERT_TRUE(writeFileAtomic(dir / L"password.bin", sealed));
    EXPECT_EQ(loadPasswordFrom(dir.wide()), pw);
}

TEST(WinSealedFiles, DeviceKeyFileIsTheSealedPrivateKey) {
    TempFolder dir;
    KeyPair k = DeviceKeyCache(dir.wide()).get();
    std::string plain;
    std::wstring description;
    ASSERT_TRUE(systemUnseal(readFile(dir / L"device.key"), plain, description));
    EXPECT_EQ(Bytes(plain.begin(), plain.end()), k.privateKey);
    EXPECT_EQ(description, L"Tavrel device key");
}
