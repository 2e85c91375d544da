#include <gtest/gtest.h>

#include <string>

#include "core/crypto/identity.h"
#include "core/crypto/x25519.h"

namespace {

Bytes range32(int from) {
    Bytes v(32);
    for (int i = 0; i < 32; ++i) v[i] = uint8_t(from + i);
    return v;
}

TEST(AccessId, NineDigitsWithLeadingZeros) {
    // Python: "%09d" % (int.from_bytes(sha256(b"Varnoth access id v1" + key).digest()[:8], "big")
    //                   % 10**9)
    // The first and third numbers are 2^63 or more, the last two below it.
    struct Case { Bytes key; const char* id; };
    Bytes e21f(32, 0);
    e21f[0] = 0xe2;
    e21f[1] = 0x1f;
    const Case cases[] = {
        {range32(0), "500614442"},
        {Bytes(32, 0), "021338936"},
        {e21f, "000018850"},
        {Bytes(32, 0xff), "274257034"},
    };
    for (const auto& c : cases) {
        std::string id = accessIdFromKey(c.key);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(id.size(), 9u);
    }
}

TEST(AccessId, StableAndSensitiveToEveryKeyBit) {
    Bytes key = keyPairFromSecret(range32(40)).publicKey;
    const std::string id = accessIdFromKey(key), device = sha256Hex(key);
    EXPECT_EQ(accessIdFromKey(key), id);
    EXPECT_EQ(sha256Hex(key), device);
    for (int bit = 0; bit < 256; ++bit) {
        Bytes changed = key;
        changed[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_NE(sha256Hex(changed), device) << bit;
        // Nine digits can collide by chance (about 1 in 10^9); none does for this key.
        EXPECT_NE(accessIdFromKey(changed), id) << bit;
    }
}

TEST(DeviceId, ThirtyTwoLowercaseHexDigitsOfTheKey) {
    // Python: hashlib.sha256(bytes(range(32))).hexdigest()[:32]
    EXPECT_EQ(sha256Hex(range32(0)), "630dcd2966c4336691125448bbb25b4f");
    for (int i = 0; i < 20; ++i) {
        std::string id = sha256Hex(newKeyPair().publicKey);
        ASSERT_EQ(id.size(), 32u);
        for (char c : id) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << id;
    }
}

}  // namespace
