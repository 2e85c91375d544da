#include "core/config/keys.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/config/store.h"
#include "core/config/temp_folder.h"

namespace {

std::wstring passwordFile(const TempFolder& dir) { return dir / L"password.bin"; }

}  // namespace

TEST(SealedPassword, RoundTripsByteForByte) {
    TempFolder dir;
    const std::string passwords[] = {
        "hunter2",
        "\uBE44\uBC00\uBC88\uD638 caf\u00E9 \U0001F600",
        std::string("nul\0inside", 10),
        std::string("\xff\xfe not utf-8 \x80", 15),
        std::string(5000, 'p'),
    };
    for (const std::string& pw : passwords) {
        ASSERT_TRUE(savePasswordTo(dir.wide(), pw));
        EXPECT_EQ(loadPasswordFrom(dir.wide()), pw);
        EXPECT_FALSE(pathExists(passwordFile(dir) + L".tmp"));
    }
}

TEST(SealedPassword, EmptyPasswordStillWritesASealedFile) {
    TempFolder dir;
    ASSERT_TRUE(savePasswordTo(dir.wide(), "first"));
    ASSERT_TRUE(savePasswordTo(dir.wide(), ""));
    EXPECT_FALSE(readFile(passwordFile(dir)).empty());
    EXPECT_EQ(loadPasswordFrom(dir.wide()), "");
}

TEST(SealedPassword, UnreadableContentGivesNoPassword) {
    TempFolder dir;
    EXPECT_EQ(loadPasswordFrom(dir.wide()), "");  // no file
    ASSERT_TRUE(savePasswordTo(dir.wide(), "secret"));
    Bytes sealed = readFile(passwordFile(dir));
    ASSERT_GT(sealed.size(), 12u);

    Bytes garbage = {'s', 'e', 'c', 'r', 'e', 't'};
    Bytes tooShort(sealed.begin(), sealed.begin() + 6);
    Bytes damaged = sealed;
    damaged[4] ^= 0x40;  // inside the header that names the owner or the format
    for (const Bytes& content : {garbage, tooShort, damaged}) {
        ASSERT_TRUE(writeFileAtomic(passwordFile(dir), content));
        EXPECT_EQ(loadPasswordFrom(dir.wide()), "");
    }
}

TEST(SealedPassword, FailedSaveKeepsTheOldPassword) {
    TempFolder dir;
    ASSERT_TRUE(savePasswordTo(dir.wide(), "old"));
    std::filesystem::create_directory(std::filesystem::path(passwordFile(dir) + L".tmp"));
    EXPECT_FALSE(savePasswordTo(dir.wide(), "new"));
    EXPECT_EQ(loadPasswordFrom(dir.wide()), "old");
    EXPECT_FALSE(savePasswordTo(dir / L"missing", "x"));
}

TEST(SealedPassword, ProcessWideFunctionsUseTheProfileFolder) {
    ASSERT_TRUE(savePassword("\uC554\uD638"));
    EXPECT_TRUE(pathExists(configStore().profileDir + kPathSeparator + L"password.bin"));
    EXPECT_EQ(loadPassword(), "\uC554\uD638");
}

#ifndef _WIN32
TEST(SealedPassword, StandInRefusesAnotherUsersContent) {
    Bytes sealed;
    ASSERT_TRUE(sealForUser(asBytes(std::string("pw")), L"d", sealed));
    Bytes plain;
    ASSERT_TRUE(unsealForUser(sealed, plain));
    sealed[11] ^= 0x01;  // the owner's user id
    EXPECT_FALSE(unsealForUser(sealed, plain));
    EXPECT_TRUE(plain.empty());
}
#endif
