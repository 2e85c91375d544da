#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "core/crypto/hash.h"
#include "core/crypto/x25519.h"
#include "core/wire.h"

namespace {

std::string hex(ByteSpan v) { return hexEncode(v); }
Bytes h(const char* text) { return hexDecode(text); }

std::string x(const Bytes& scalar, const Bytes& u) {
    uint8_t out[32];
    x25519(out, scalar.data(), u.data());
    return hexEncode(out, 32);
}

void expectBadKey(const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "no ProtoError";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "잘못된 키");
    }
}

TEST(X25519, Rfc7748FunctionVectors) {
    EXPECT_EQ(x(h("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
                h("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c")),
              "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
    // This u-coordinate has its top bit set, which must be ignored.
    EXPECT_EQ(x(h("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"),
                h("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493")),
              "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

TEST(X25519, Rfc7748Iterations) {
    Bytes k(32, 0), u(32, 0);
    k[0] = u[0] = 9;
    for (int i = 1; i <= 1000; ++i) {
        Bytes r(32);
        x25519(r.data(), k.data(), u.data());
        u = k;
        k = r;
        if (i == 1) {
            EXPECT_EQ(hex(k), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
        }
    }
    EXPECT_EQ(hex(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST(X25519, Rfc7748DiffieHellman) {
    KeyPair alice = keyPairFromSecret(h("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    KeyPair bob = keyPairFromSecret(h("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    EXPECT_EQ(hex(alice.publicKey), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(hex(bob.publicKey), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const char* shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
    EXPECT_EQ(hex(x25519Shared(alice.privateKey, bob.publicKey)), shared);
    EXPECT_EQ(hex(x25519Shared(bob.privateKey, alice.publicKey)), shared);
    EXPECT_EQ(hex(x25519PublicKey(alice.privateKey)), hex(alice.publicKey));
}

TEST(X25519, LowOrderAndNonCanonicalPoints) {
    // The CPace draft's list (appendix B.1.10): each u with the scalar s gives q; the all-zero
    // results are low-order points, which x25519Shared refuses.
    const Bytes s = h("af46e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449aff");
    const char* zero = "0000000000000000000000000000000000000000000000000000000000000000";
    const std::pair<const char*, const char*> cases[] = {
        {zero, zero},
        {"0100000000000000000000000000000000000000000000000000000000000000", zero},
        {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", zero},
        {"e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800", zero},
        {"5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157", zero},
        {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", zero},
        {"daffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "d8e2c776bbacd510d09fd9278b7edcd25fc5ae9adfba3b6e040e8d3b71b21806"},
        {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", zero},
        {"dbffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "c85c655ebe8be44ba9c0ffde69f2fe10194458d137f09bbff725ce58803cdb38"},
        {"d9ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "db64dafa9b8fdd136914e61461935fe92aa372cb056314e1231bc4ec12417456"},
        {"cdeb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b880",
         "e062dcd5376d58297be2618c7498f55baa07d7e03184e8aada20bca28888bf7a"},
        {"4c9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f11d7",
         "993c6ad11c4c29da9a56f7691fd0ff8d732e49de6250b6c2e80003ff4629a175"},
    };
    for (auto& [u, q] : cases) {
        EXPECT_EQ(x(s, h(u)), q) << u;
        if (std::string(q) == zero) {
            expectBadKey([&] { x25519Shared(s, h(u)); });
        } else {
            EXPECT_EQ(hex(x25519Shared(s, h(u))), q);
        }
    }
}

TEST(X25519, WrongKeySizesAreRefused) {
    KeyPair pair = keyPairFromSecret(Bytes(32, 5));
    expectBadKey([&] { x25519Shared(pair.privateKey, Bytes(31, 9)); });
    expectBadKey([&] { x25519Shared(pair.privateKey, Bytes(33, 9)); });
    expectBadKey([&] { x25519Shared(pair.privateKey, Bytes{}); });
    expectBadKey([&] { x25519Shared(Bytes(31, 1), pair.publicKey); });
    expectBadKey([&] { keyPairFromSecret(Bytes(16, 1)); });
}

TEST(KeyPair, ClampingHappensInsideX25519) {
    Bytes raw(32);
    for (int i = 0; i < 32; ++i) raw[i] = uint8_t(0xa5 + 7 * i);
    raw[0] |= 7;      // low bits set
    raw[31] |= 0x80;  // top bit set
    raw[31] &= 0xbf;  // bit 254 clear
    Bytes clamped = raw;
    clamped[0] &= 248;
    clamped[31] = uint8_t((clamped[31] & 127) | 64);
    KeyPair a = keyPairFromSecret(raw), b = keyPairFromSecret(clamped);
    EXPECT_EQ(a.privateKey, raw);  // kept exactly as given
    EXPECT_EQ(a.publicKey, b.publicKey);
}

TEST(KeyPair, NewPairsAreFreshAndAgree) {
    KeyPair a = newKeyPair(), b = newKeyPair();
    ASSERT_EQ(a.privateKey.size(), 32u);
    ASSERT_EQ(a.publicKey.size(), 32u);
    EXPECT_NE(a.privateKey, b.privateKey);
    EXPECT_EQ(a.publicKey, x25519PublicKey(a.privateKey));
    EXPECT_EQ(x25519Shared(a.privateKey, b.publicKey), x25519Shared(b.privateKey, a.publicKey));
}

Bytes hash64(const Bytes& first32) {
    Bytes v = first32;
    v.resize(64, 0);
    return v;
}

TEST(Elligator2, CPaceDraftGeneratorVector) {
    // The CPace draft's X25519 generator (appendix B.1.1): Elligator2 of the SHA-512 of its
    // generator string, then its two shares and their shared point (B.1.2 to B.1.4).
    Bytes generatorString = h("0843506163653235350850617373776f72646d");
    generatorString.resize(generatorString.size() + 109, 0);
    Bytes tail = h("180b415f696e69746961746f720b425f726573706f6e646572107e4b4791d6a8ef019b936c79fb7f2c57");
    generatorString.insert(generatorString.end(), tail.begin(), tail.end());
    Bytes digest = sha512(generatorString);
    EXPECT_EQ(hex(ByteSpan(digest.data(), 32)), "03998087bdb1a2617bbe25ef5a7c18cd4f84f902328701790958755ee4aed1d3");
    Bytes g = elligator2Map(digest);
    EXPECT_EQ(hex(g), "d04bf6d41f6a289632a2e929fa29bebd51092512a7829fdde7d314b62f05a73f");

    Bytes ya = h("21b4f4bd9e64ed355c3eb676a28ebedaf6d8f17bdc365995b319097153044080");
    Bytes yb = h("848b0779ff415f0af4ea14df9dd1d3c29ac41d836c7808896c4eba19c51ac40a");
    Bytes Ya = x25519Shared(ya, g), Yb = x25519Shared(yb, g);
    EXPECT_EQ(hex(Ya), "1d13c89278cdadd826f6d8d7f887701430f8380ddc17611cdd6dc989ce0c9f32");
    EXPECT_EQ(hex(Yb), "248cccf6d5cdc3646f0ad593f9e6cef4e69d4945f8372e623512ecea32185623");
    EXPECT_EQ(hex(x25519Shared(ya, Yb)), "5b067effbdc0b2a0e1d907b21ebb25cfedb96a852179a847c37e43ee71322c6b");
    EXPECT_EQ(hex(x25519Shared(yb, Ya)), "5b067effbdc0b2a0e1d907b21ebb25cfedb96a852179a847c37e43ee71322c6b");
}

TEST(Elligator2, BothBranchesAgainstABigIntegerModel) {
    // Python big integers, p = 2^255 - 19, A = 486662:
    //   r = int.from_bytes(h[:32], "little") & (2**255 - 1)
    //   v = -A * pow(1 + 2*r*r, p - 2, p) % p;  g = (v**3 + A*v*v + v) % p
    //   u = v if pow(g, (p - 1) // 2, p) in (0, 1) else (-v - A) % p
    struct Case { Bytes hash; const char* u; };
    const Case cases[] = {
        // sha512(bytes([i])) for i = 0, 1, 2: non-squares, u = -v - A
        {h("b8244d028981d693af7b456af8efa4cad63d282e19ff14942c246e50d9351d22704a802a71c3580b6370de4ceb293c324a8423342557d4e5c38438f0e36910ee"),
         "4dd78e068bbe96f95182714e6ba138dbd05ef9326553ed856e73b14817114126"},
        {h("7b54b66836c1fbdd13d2441d9e1434dc62ca677fb68f5fe66a464baadecdbd00576f8d6b5ac3bcc80844b7d50b1cc6603444bbe7cfcf8fc0aa1ee3c636d9e339"),
         "5343f3e40c450a8de2d715ecb19e04feb25370a697a18dd8430a4d5f89b50c21"},
        {h("fab848c9b657a853ee37c09cbfdd149d0b3807b191dde9b623ccd95281dd18705b48c89b1503903845bba5753945351fe6b454852760f73529cf01ca8f69dcca"),
         "6596997fa0cbdeb54f5ac6b620717bbc1343021d44de8fc71c47c28a9193ee1f"},
        // r = p - 1: a square, u = v
        {hash64(h("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")),
         "9cdb525555555555555555555555555555555555555555555555555555555555"},
        // all ones: r = 2^255 - 1, which is 18 once reduced
        {Bytes(64, 0xff), "1e5942dd97c756040d27755f1e5b11349cd47d796c45d07052f7e5b11541c349"},
        // r = 0 maps to u = 0, a low-order point that x25519Shared then refuses
        {Bytes(64, 0), "0000000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(elligator2Map(c.hash)), c.u);
}

TEST(Elligator2, UsesOnlyTheFirst255Bits) {
    Bytes hash = sha512(Bytes{1, 2, 3});
    Bytes base = elligator2Map(hash);
    Bytes changed = hash;
    changed[31] ^= 0x80;
    for (int i = 32; i < 64; ++i) changed[i] ^= 0x5a;
    EXPECT_EQ(elligator2Map(changed), base);
    changed[31] ^= 0x40;  // bit 254 counts
    EXPECT_NE(elligator2Map(changed), base);
    EXPECT_THROW(elligator2Map(Bytes(32, 0)), std::invalid_argument);
}

TEST(CpaceGenerator, MatchesTheConstructionComputedIndependently) {
    // sha512(b"\x00\x17Varnoth CPace X25519 v1" + len(pw).to_bytes(2, "big") + pw
    //        + len(salt).to_bytes(2, "big") + salt), mapped with the Python model above.
    Bytes salt16(16);
    for (int i = 0; i < 16; ++i) salt16[i] = uint8_t(i);
    EXPECT_EQ(hex(cpaceGenerator("1234", salt16)), "63e10ace783f35c8915eb1ff3e726a3bc91225d5c65cf8bea2f4baf420248a09");
    // An empty password still contributes its two length bytes 00 00.
    EXPECT_EQ(hex(cpaceGenerator("", salt16)), "007f7ed7cb4f85e83e8e23707ae3ad780d331af8d9ed71f774b676302d7b2027");
    EXPECT_EQ(hex(cpaceGenerator("비밀번호", Bytes(16, 0xaa))),
              "3c97bcf8164f4013042b7834b01814ab2897b51c8ceb15f20723d149c0be4d41");
}

TEST(CpaceGenerator, SameInputsSamePointOtherSaltOtherPoint) {
    Bytes salt(16, 1), other(16, 2);
    EXPECT_EQ(cpaceGenerator("pw", salt), cpaceGenerator("pw", salt));
    EXPECT_NE(cpaceGenerator("pw", salt), cpaceGenerator("pw", other));
    EXPECT_NE(cpaceGenerator("pw", salt), cpaceGenerator("pW", salt));
    // The length prefixes keep the split between password and salt unambiguous.
    EXPECT_NE(cpaceGenerator("ab", Bytes{'c'}), cpaceGenerator("a", Bytes{'b', 'c'}));
    // Lengths must fit their 2-byte prefixes.
    EXPECT_NO_THROW(cpaceGenerator(std::string(65535, 'p'), salt));
    EXPECT_THROW(cpaceGenerator(std::string(65536, 'p'), salt), ProtoError);
    EXPECT_THROW(cpaceGenerator("pw", Bytes(65536, 0)), ProtoError);
}

}  // namespace
