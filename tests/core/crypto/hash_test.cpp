#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/crypto/hash.h"
#include "core/util.h"
#include "support/crypto_paths.h"

namespace {

Bytes b(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string hex(const Bytes& v) { return hexEncode(v); }

// Bytes i % 251 for i in 0..n-1: no period that lines up with a block size.
Bytes pattern(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i % 251);
    return v;
}

class Sha : public CryptoPaths {};
INSTANTIATE_TEST_SUITE_P(Paths, Sha, kAllCryptoPaths, cryptoPathName);

TEST_P(Sha, Fips180Examples) {
    struct Case { std::string message; const char* sha256; const char* sha512; };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", nullptr},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         nullptr,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& c : cases) {
        if (c.sha256) {
            EXPECT_EQ(hex(sha256(b(c.message))), c.sha256) << c.message.size();
        }
        if (c.sha512) {
            EXPECT_EQ(hex(sha512(b(c.message))), c.sha512) << c.message.size();
        }
    }
}

TEST_P(Sha, EveryPaddingBoundary) {
    // 111 and 112 bytes: the last length at which SHA-512's padding fits one block, and the
    // first that needs a second one (hashlib).
    EXPECT_EQ(hex(sha512(pattern(111))),
              "a1a111449b198d9b1f538bad7f3fc1022b3a5b1a5e90a0bc860de8512746cbc3"
              "1599e6c834de3a3235327af0b51ff57bf7acf1974a73014d9c3953812edc7c8d");
    EXPECT_EQ(hex(sha512(pattern(112))),
              "c5fbd731d19d2ae1180f001be72c2c1aaba1d7b094b3748880e24593b8e117a7"
              "50e11c1bd867cc2f96dace8c8b74abd2d5c4f236be444e77d30d1916174070b9");
    // Every length 0..299 at once: the hash of the concatenated digests of pattern(n),
    // computed with Python's hashlib:
    //   h(b"".join(h(bytes(i % 251 for i in range(n))).digest() for n in range(300)))
    Bytes all256, all512;
    for (size_t n = 0; n < 300; ++n) {
        Bytes d = sha256(pattern(n));
        all256.insert(all256.end(), d.begin(), d.end());
        d = sha512(pattern(n));
        all512.insert(all512.end(), d.begin(), d.end());
    }
    EXPECT_EQ(hex(sha256(all256)), "fa70b867db0a30acb7218d62945db0df52eb393808b30675ea9aac6b058a9a9d");
    EXPECT_EQ(hex(sha512(all512)),
              "5876909c163eee9aa8e3e0dbbe23ff09a3b1c1690c50ecab0cf75109b7ea0931"
              "80f3b1db84ac4671a35db7394d95e9b645b20209761dc874ec013385e1db7916");
}

TEST_P(Sha, PointerAndLengthFormAgrees) {
    Bytes data = pattern(200);
    EXPECT_EQ(sha256(data.data(), 130), sha256(Bytes(data.begin(), data.begin() + 130)));
    EXPECT_EQ(sha512(data.data(), 130), sha512(Bytes(data.begin(), data.begin() + 130)));
    EXPECT_EQ(sha256(nullptr, 0), sha256(Bytes{}));
}

TEST(Hmac, Rfc4231Vectors) {
    struct Case { Bytes key; Bytes data; const char* tag; size_t length = 32; };
    Bytes key25;
    for (int i = 1; i <= 25; ++i) key25.push_back(uint8_t(i));
    const Case cases[] = {
        {Bytes(20, 0x0b), b("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {b("Jefe"), b("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {key25, Bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Bytes(20, 0x0c), b("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b", 16},
        {Bytes(131, 0xaa), b("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Bytes(131, 0xaa),
         b("This is a test using a larger than block-size key and a larger than block-size data. "
           "The key needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& c : cases) {
        Bytes tag = hmacSha256(c.key, c.data);
        ASSERT_EQ(tag.size(), 32u);
        EXPECT_EQ(hex(tag).substr(0, c.length * 2), c.tag);
    }
}

TEST(Hmac, KeysAtTheBlockSizeBoundary) {
    // A 64-byte key is used as it is; a 65-byte key is hashed first. Python's hmac module:
    //   hmac.new(bytes(range(n)), b"Tavrel", hashlib.sha256).hexdigest()
    auto key = [](size_t n) { Bytes k(n); for (size_t i = 0; i < n; ++i) k[i] = uint8_t(i); return k; };
    EXPECT_EQ(hex(hmacSha256(key(64), b("Tavrel"))),
              "1d8fcf945b7d90fb522b15058b29ae69ffdefbcbf236cc226b4026554ab6b097");
    EXPECT_EQ(hex(hmacSha256(key(65), b("Tavrel"))),
              "f6f5614a83db133f50b95200f48c65d68068b4fb2fe36ab49dd5957e49a31e1f");
    // A key longer than a block is the same as its digest; an empty key is 64 zero bytes.
    EXPECT_EQ(hmacSha256(key(65), b("x")), hmacSha256(sha256(key(65)), b("x")));
    EXPECT_EQ(hmacSha256({}, {}), hmacSha256(Bytes(64, 0), {}));
    EXPECT_EQ(hex(hmacSha256({}, {})), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(Hkdf, Rfc5869Vectors) {
    struct Case { Bytes ikm, salt, info; size_t length; const char* okm; };
    Bytes ikm2, salt2, info2;
    for (int i = 0; i < 80; ++i) {
        ikm2.push_back(uint8_t(i));
        salt2.push_back(uint8_t(0x60 + i));
        info2.push_back(uint8_t(0xb0 + i));
    }
    const Case cases[] = {
        {Bytes(22, 0x0b), hexDecode("000102030405060708090a0b0c"), hexDecode("f0f1f2f3f4f5f6f7f8f9"), 42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {ikm2, salt2, info2, 82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c"
         "59045a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71"
         "cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {Bytes(22, 0x0b), {}, {}, 42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(hkdfSha256(c.ikm, c.salt, c.info, c.length)), c.okm);
}

TEST(Hkdf, LengthsAndEmptySalt) {
    Bytes ikm(22, 0x0b);
    EXPECT_EQ(hkdfSha256(ikm, {}, b("info"), 64), hkdfSha256(ikm, Bytes(32, 0), b("info"), 64));
    EXPECT_TRUE(hkdfSha256(ikm, b("salt"), b("info"), 0).empty());
    // 33 bytes are T(1) and the first byte of T(2).
    Bytes full = hkdfSha256(ikm, b("salt"), b("info"), 64);
    Bytes part = hkdfSha256(ikm, b("salt"), b("info"), 33);
    EXPECT_EQ(part, Bytes(full.begin(), full.begin() + 33));
    // The argument order is (input key material, salt, info, length).
    EXPECT_NE(hkdfSha256(b("a"), b("b"), b("c"), 32), hkdfSha256(b("b"), b("a"), b("c"), 32));
    // The most HKDF can give, 255 blocks; cryptography's HKDF, then sha256 of the output:
    //   sha256(HKDF(SHA256(), 8160, b"salt", b"info").derive(b"ikm"))
    EXPECT_EQ(hex(sha256(hkdfSha256(b("ikm"), b("salt"), b("info"), 8160))),
              "e3963f0e8b66c425fb6879cf9bdaf9aac0ffdbac3093b9857871bb35b0056dce");
    // One more byte would need block counter 256, which wraps to 0.
    EXPECT_THROW(hkdfSha256(b("ikm"), b("salt"), b("info"), 8161), std::length_error);
}

}  // namespace
