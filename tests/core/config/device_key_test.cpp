#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/config/temp_folder.h"

namespace {

Bytes sealed(const Bytes& plain) {
    Bytes out;
    EXPECT_TRUE(sealForUser(plain, L"Tavrel device key", out));
    return out;
}

}  // namespace

TEST(DeviceKey, CreatedOnceThenServedFromMemory) {
    TempFolder dir;
    std::wstring path = dir / L"device.key";
    DeviceKeyCache cache(dir.wide());
    KeyPair first = cache.get();
    ASSERT_EQ(first.privateKey.size(), 32u);
    EXPECT_EQ(first.publicKey, x25519PublicKey(first.privateKey));
    Bytes stored = readFile(path);
    ASSERT_FALSE(stored.empty());

    // The second call neither reads nor writes the file.
    ASSERT_TRUE(writeFileAtomic(path, asBytes(std::string("changed on disk"))));
    KeyPair second = cache.get();
    EXPECT_EQ(second.privateKey, first.privateKey);
    EXPECT_EQ(second.publicKey, first.publicKey);
    EXPECT_EQ(spanToString(readFile(path)), "changed on disk");
}

TEST(DeviceKey, StoredKeyIsReusedAtTheNextStart) {
    TempFolder dir;
    KeyPair first = DeviceKeyCache(dir.wide()).get();
    Bytes stored = readFile(dir / L"device.key");
    KeyPair again = DeviceKeyCache(dir.wide()).get();
    EXPECT_EQ(again.privateKey, first.privateKey);
    EXPECT_EQ(again.publicKey, first.publicKey);
    EXPECT_EQ(readFile(dir / L"device.key"), stored);
    EXPECT_FALSE(pathExists(dir / L"device.key.bad"));
}

TEST(DeviceKey, UnusableKeyIsReplacedAndKeptAside) {
    Bytes garbage = {'n', 'o', 't', ' ', 's', 'e', 'a', 'l', 'e', 'd'};
    Bytes damaged = sealed(Bytes(32, 7));
    damaged[damaged.size() / 2] ^= 0x5a;
    damaged[4] ^= 0x40;
    const Bytes contents[] = {garbage, sealed(Bytes(31, 7)), sealed(Bytes(33, 7)), sealed(Bytes()), damaged};
    for (const Bytes& content : contents) {
        SCOPED_TRACE(content.size());
        TempFolder dir;
        std::wstring path = dir / L"device.key";
        ASSERT_TRUE(writeFileAtomic(path, content));
        KeyPair fresh = DeviceKeyCache(dir.wide()).get();
        EXPECT_EQ(fresh.privateKey.size(), 32u);
        EXPECT_NE(fresh.privateKey, Bytes(32, 7));
        EXPECT_EQ(readFile(path + L".bad"), content);
        EXPECT_EQ(DeviceKeyCache(dir.wide()).get().privateKey, fresh.privateKey);
    }
}

TEST(DeviceKey, EmptyFileIsSimplyReplaced) {
    TempFolder dir;
    ASSERT_TRUE(writeFileAtomic(dir / L"device.key", ByteSpan()));
    KeyPair fresh = DeviceKeyCache(dir.wide()).get();
    EXPECT_FALSE(pathExists(dir / L"device.key.bad"));
    EXPECT_EQ(DeviceKeyCache(dir.wide()).get().privateKey, fresh.privateKey);
}

// An unusable key that cannot stay where it is must not make a new identity at every start.
TEST(DeviceKey, UnusableKeyNeverLeadsToANewIdentityAtEveryStart) {
    struct Case {
        const char* name;
        bool oldestCanGo;  // false: ".bad" is a folder with something in it, so nothing can rotate
    };
    for (const Case& c : {Case{"every name taken", true}, Case{"nothing can be kept aside", false}}) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        std::wstring path = dir / L"device.key";
        const std::wstring older[] = {L".bad", L".bad2", L".bad3", L".bad4", L".bad5", L".bad6", L".bad7", L".bad8", L".bad9"};
        for (const std::wstring& suffix : older) ASSERT_TRUE(writeFileAtomic(path + suffix, asBytes(std::string("older"))));
        if (!c.oldestCanGo) {
            std::filesystem::remove(std::filesystem::path(path + L".bad"));
            createFolder(path + L".bad");
            ASSERT_TRUE(writeFileAtomic(path + L".bad" + kPathSeparator + L"inside", asBytes(std::string("x"))));
        }
        ASSERT_TRUE(writeFileAtomic(path, asBytes(std::string("unusable"))));
        KeyPair first = DeviceKeyCache(dir.wide()).get();
        EXPECT_EQ(first.privateKey.size(), 32u);
        if (c.oldestCanGo) {
            EXPECT_EQ(spanToString(readFile(path + L".bad9")), "unusable");
        }
        // The next start finds the new key.
        EXPECT_EQ(DeviceKeyCache(dir.wide()).get().privateKey, first.privateKey);
    }
}

TEST(DeviceKey, ConcurrentFirstCallsGetOnePair) {
    TempFolder dir;
    DeviceKeyCache cache(dir.wide());
    std::vector<Bytes> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = cache.get().publicKey; });
    for (std::thread& t : threads) t.join();
    for (const Bytes& k : seen) EXPECT_EQ(k, seen[0]);
    EXPECT_EQ(DeviceKeyCache(dir.wide()).get().publicKey, seen[0]);
}

TEST(DeviceKey, ProcessWideKeyLivesInTheProfileFolder) {
    KeyPair k = loadDeviceKey();
    EXPECT_EQ(k.publicKey, loadDeviceKey().publicKey);
    EXPECT_TRUE(pathExists(configStore().profileDir + kPathSeparator + L"device.key"));
    EXPECT_EQ(DeviceKeyCache(configStore().profileDir).get().publicKey, k.publicKey);
}
