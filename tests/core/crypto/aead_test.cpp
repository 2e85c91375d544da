#include <gtest/gtest.h>

#include <string>

#include "core/crypto/aead.h"
#include "core/crypto/hash.h"
#include "core/wire.h"
#include "support/crypto_paths.h"

namespace {

Bytes b(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string hex(ByteSpan v) { return hexEncode(v); }
Bytes range(int from, int count) {
    Bytes v;
    for (int i = 0; i < count; ++i) v.push_back(uint8_t(from + i));
    return v;
}

const std::string kSunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
    "sunscreen would be it.";

class ChaCha : public CryptoPaths {};
INSTANTIATE_TEST_SUITE_P(Paths, ChaCha, kAllCryptoPaths, cryptoPathName);

TEST_P(ChaCha, Rfc8439BlockAndEncryption) {
    Bytes key = range(0, 32);
    uint8_t block[64];
    chacha20Block(key.data(), 1, hexDecode("000000090000004a00000000").data(), block);
    EXPECT_EQ(hex(ByteSpan(block, 64)),
              "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
              "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");

    Bytes text = b(kSunscreen);
    chacha20Xor(key.data(), 1, hexDecode("000000000000004a00000000").data(), text.data(), text.data(), text.size());
    EXPECT_EQ(hex(text),
              "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab"
              "8f593dabcd62b3571639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e"
              "52bc514d16ccf806818ce91ab77937365af90bbf74a35be6b40b8eedf2785e42874d");
}

TEST_P(ChaCha, Rfc8439AeadVector) {
    Bytes key = range(0x80, 32);
    Bytes nonce = hexDecode("070000004041424344454647");
    Bytes ad = hexDecode("50515253c0c1c2c3c4c5c6c7");
    Bytes sealed = aeadSeal(key, nonce, b(kSunscreen), ad);
    EXPECT_EQ(hex(sealed),
              "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca96712"
              "82fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58"
              "fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586cec64b6116"
              "1ae10b594f09e26a7e902ecbd0600691");
    Bytes out;
    ASSERT_TRUE(aeadOpen(key, nonce, sealed.data(), sealed.size(), ad, out));
    EXPECT_EQ(out, b(kSunscreen));
}

TEST_P(ChaCha, EveryLengthMatchesAnIndependentImplementation) {
    // Lengths 0..1299 cover every tail and several multi-block runs. Fixture from Python's
    // cryptography package:
    //   a = ChaCha20Poly1305(bytes(range(32))); h = sha256()
    //   for n in range(1300):
    //       h.update(a.encrypt(bytes(4) + n.to_bytes(8, "little"),
    //                          bytes((i * 7) % 256 for i in range(n)), bytes(n % 37)))
    CipherState state(range(0, 32));
    Bytes all;
    for (int n = 0; n < 1300; ++n) {
        Bytes plain(n);
        for (int i = 0; i < n; ++i) plain[i] = uint8_t(i * 7);
        Bytes sealed = state.seal(plain, Bytes(n % 37, 0));
        all.insert(all.end(), sealed.begin(), sealed.end());
    }
    EXPECT_EQ(hex(sha256(all)), "d4a6f7560b91eec51a7a3872e5cb8c7ad566d47f2f89f5ce4ec4862aa4631bd3");
}

TEST_P(ChaCha, LongMessagesMatchAnIndependentImplementation) {
    // Several 16-block and 8-block groups in one message, as the secure channel sends them.
    // Fixture from Python's cryptography package:
    //   a = ChaCha20Poly1305(bytes(range(32))); h = sha256()
    //   for c, n in enumerate([2048, 3000, 65536, 70001]):
    //       h.update(a.encrypt(bytes(4) + c.to_bytes(8, "little"),
    //                          bytes((i * 13 + 5) % 256 for i in range(n)), b"long"))
    CipherState sender(range(0, 32)), receiver(range(0, 32));
    Bytes all;
    for (size_t n : {2048, 3000, 65536, 70001}) {
        Bytes plain(n);
        for (size_t i = 0; i < n; ++i) plain[i] = uint8_t(i * 13 + 5);
        Bytes sealed = sender.seal(plain, b("long"));
        all.insert(all.end(), sealed.begin(), sealed.end());
        EXPECT_EQ(receiver.open(sealed, b("long")), plain) << n;
    }
    EXPECT_EQ(hex(sha256(all)), "fa32941623f43a7bd5e52b5af11380673c86071bddb6cbc87643f6ec1631a3e3");
}

TEST_P(ChaCha, Poly1305LongMessagesMatchAnIndependentImplementation) {
    // Long runs take the multi-block path; all-ones keys and messages push every limb to its
    // limit. Fixture from Python's cryptography package:
    //   h = sha256()
    //   for n in range(0, 1100, 3):
    //       if n % 2: key, msg = b"\xff" * 32, b"\xff" * n
    //       else: key, msg = bytes((i*11 + n) % 256 for i in range(32)), bytes((i*7 + n) % 256 for i in range(n))
    //       h.update(Poly1305.generate_tag(key, msg))
    Bytes all;
    for (int n = 0; n < 1100; n += 3) {
        Bytes key(32, 0xff), msg(n, 0xff);
        if (n % 2 == 0) {
            for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 11 + n);
            for (int i = 0; i < n; ++i) msg[i] = uint8_t(i * 7 + n);
        }
        auto tag = poly1305(key.data(), msg);
        all.insert(all.end(), tag.begin(), tag.end());
    }
    EXPECT_EQ(hex(sha256(all)), "146642b70c2c0e82d839239f11c135f58e83f7bd3a42d4aac1b44cf6b8102c76");
}

TEST(Poly1305, Rfc8439VectorAndCarryCases) {
    Bytes key = hexDecode("85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b");
    EXPECT_EQ(hex(poly1305(key.data(), b("Cryptographic Forum Research Group"))), "a8061dc1305136c6c22b8baf0c0127a9");
    // All-ones key and message drive every limb to its limit (cryptography's Poly1305).
    const std::pair<int, const char*> cases[] = {
        {0, "ffffffffffffffffffffffffffffffff"}, {1, "23feffef23f8ffef23f8ffef23f8ffef"},
        {15, "fbff27e6030028e6030028e6030028ee"}, {16, "fbffff17faffff17faffff17faffff17"},
        {17, "7cfe7ff768f81f2763f8bf565df85f86"}, {32, "5400801f3f00204f3900c07e330060ae"},
        {33, "86fa6a437bf4ec24a274504dc37495bc"}, {64, "900fe32bc15fa8d7bca8efe4c7e37eb1"}};
    Bytes ones(32, 0xff);
    for (auto& [n, tag] : cases) EXPECT_EQ(hex(poly1305(ones.data(), Bytes(n, 0xff))), tag) << n;
}

TEST(Aead, EmptyPlaintextIsTheTagAlone) {
    CipherState sender(range(1, 32)), receiver(range(1, 32));
    Bytes sealed = sender.seal({});
    EXPECT_EQ(sealed.size(), 16u);
    EXPECT_TRUE(receiver.open(sealed).empty());
    EXPECT_EQ(receiver.counter, 1u);
}

TEST(Aead, AnyChangedBitFailsAndLeavesOutputAlone) {
    Bytes key = range(3, 32), nonce = range(50, 12), ad = b("header");
    Bytes sealed = aeadSeal(key, nonce, b("attack at dawn"), ad);
    for (size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        Bytes bad = sealed;
        bad[bit / 8] ^= uint8_t(1 << (bit % 8));
        Bytes out = b("untouched");
        EXPECT_FALSE(aeadOpen(key, nonce, bad.data(), bad.size(), ad, out)) << bit;
        EXPECT_EQ(out, b("untouched"));
    }
    for (size_t bit = 0; bit < ad.size() * 8; ++bit) {
        Bytes badAd = ad;
        badAd[bit / 8] ^= uint8_t(1 << (bit % 8));
        Bytes out;
        EXPECT_FALSE(aeadOpen(key, nonce, sealed.data(), sealed.size(), badAd, out)) << bit;
    }
    Bytes out;
    EXPECT_FALSE(aeadOpen(key, range(51, 12), sealed.data(), sealed.size(), ad, out));  // other nonce
    EXPECT_FALSE(aeadOpen(range(4, 32), nonce, sealed.data(), sealed.size(), ad, out));  // other key
    EXPECT_FALSE(aeadOpen(key, nonce, sealed.data(), sealed.size() - 1, ad, out));        // cut short
    EXPECT_TRUE(aeadOpen(key, nonce, sealed.data(), sealed.size(), ad, out));
    EXPECT_EQ(out, b("attack at dawn"));
}

TEST(Aead, ShortInputFails) {
    Bytes key = range(0, 32), nonce(12, 0), out = b("keep");
    Bytes tiny(15, 0);
    EXPECT_FALSE(aeadOpenChecked(key, nonce, tiny.data(), tiny.size(), {}, out));
    EXPECT_FALSE(aeadOpen(key, nonce, tiny.data(), tiny.size(), {}, out));
    EXPECT_FALSE(aeadOpenChecked(key, nonce, nullptr, 0, {}, out));
    EXPECT_EQ(out, b("keep"));
    // Beyond 2^32 - 1 blocks the block counter would wrap; refused before anything is read.
    if (sizeof(size_t) == 8) {
        EXPECT_FALSE(aeadOpen(key, nonce, tiny.data(), (size_t(1) << 38) + 1, {}, out));
    }
}

TEST(Aead, WrongKeyOrNonceSizeIsRefused) {
    Bytes out;
    EXPECT_THROW(aeadSeal(Bytes(31, 0), Bytes(12, 0), {}, {}), std::invalid_argument);
    EXPECT_THROW(aeadSeal(Bytes(32, 0), Bytes(8, 0), {}, {}), std::invalid_argument);
    Bytes sealed(16, 0);
    EXPECT_THROW(aeadOpen(Bytes(0), Bytes(12, 0), sealed.data(), 16, {}, out), std::invalid_argument);
    CipherState noKey;
    EXPECT_THROW(noKey.seal(b("x")), std::invalid_argument);
    EXPECT_EQ(noKey.counter, 0u);
}

TEST(CipherState, NonceIsZerosThenLittleEndianCounter) {
    CipherState s(Bytes(32, 7));
    EXPECT_EQ(hex(s.nonce()), "000000000000000000000000");
    s.counter = 1;
    EXPECT_EQ(hex(s.nonce()), "000000000100000000000000");
    s.counter = 0x0102030405060708;
    EXPECT_EQ(hex(s.nonce()), "000000000807060504030201");
    // The nonce really is the one used: seal at counter 5 equals aeadSeal with that nonce.
    CipherState five(Bytes(32, 7), 5);
    Bytes n = hexDecode("000000000500000000000000");
    EXPECT_EQ(five.seal(b("m"), b("a")), aeadSeal(Bytes(32, 7), n, b("m"), b("a")));
    EXPECT_EQ(five.counter, 6u);
}

TEST(CipherState, OpensInOrderOnlyAndFailuresKeepTheCounter) {
    Bytes key = range(9, 32);
    CipherState sender(key), receiver(key), shuffled(key);
    Bytes m0 = sender.seal(b("zero")), m1 = sender.seal(b("one")), m2 = sender.seal(b("two"));
    EXPECT_EQ(sender.counter, 3u);

    // Out of order: message 1 at counter 0 fails, counter stays, and message 0 still opens.
    try {
        shuffled.open(m1);
        ADD_FAILURE() << "opened out of order";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "복호 실패");
    }
    EXPECT_EQ(shuffled.counter, 0u);
    EXPECT_EQ(shuffled.open(m0), b("zero"));

    EXPECT_EQ(receiver.open(m0), b("zero"));
    EXPECT_EQ(receiver.open(m1), b("one"));
    EXPECT_THROW(receiver.open(m1), ProtoError);  // a replay
    EXPECT_EQ(receiver.open(m2), b("two"));
    EXPECT_EQ(receiver.counter, 3u);
}

TEST(CipherState, ShortOrForgedInputThrowsWithoutCounting) {
    CipherState sender(Bytes(32, 1)), receiver(Bytes(32, 1));
    Bytes fifteen(15, 0);
    for (const Bytes& input : {fifteen, Bytes{}, Bytes(16, 0)}) {
        try {
            receiver.open(input.data(), input.size());
            ADD_FAILURE() << input.size();
        } catch (const ProtoError& e) {
            EXPECT_STREQ(e.what(), "복호 실패");
        }
        EXPECT_EQ(receiver.counter, 0u);
    }
    Bytes sealed = sender.seal(b("hello"), b("ad"));
    EXPECT_THROW(receiver.open(sealed, b("AD")), ProtoError);
    EXPECT_EQ(receiver.counter, 0u);
    EXPECT_EQ(receiver.open(sealed, b("ad")), b("hello"));
}

}  // namespace
