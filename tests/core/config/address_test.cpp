#include "core/config/address.h"

#include <gtest/gtest.h>

#include "core/config/store.h"

namespace {

PeerAddress sample() {
    PeerAddress a;
    a.name = "\uAC70\uC2E4 PC";
    a.key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    a.token = "AAECAwQFBgcICQoLDA0ODw==";
    a.addresses = {"192.168.0.7:47800", "desk.local:47800"};
    a.relay = {"relay.example", 47901, "s3"};
    a.expiry = 1900000000.5;
    return a;
}

void expectSame(const PeerAddress& a, const PeerAddress& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.key, b.key);
    EXPECT_EQ(a.token, b.token);
    EXPECT_EQ(a.addresses, b.addresses);
    EXPECT_EQ(a.relay, b.relay);
    EXPECT_EQ(a.expiry, b.expiry);
}

std::string bodyOf(const std::string& json) { return base64UrlEncode(asBytes(json)); }

}  // namespace

TEST(PeerAddress, RoundTripIsOnePrintableLine) {
    std::string text = formatPeerAddress(sample());
    EXPECT_EQ(text.rfind("tavrel1:", 0), 0u);
    for (char c : text) {
        EXPECT_GT(static_cast<unsigned char>(c), 0x20);
        EXPECT_LT(static_cast<unsigned char>(c), 0x7f);
    }
    EXPECT_EQ(text.find('='), std::string::npos);
    PeerAddress back;
    ASSERT_TRUE(parsePeerAddress(text, back));
    expectSame(back, sample());
}

TEST(PeerAddress, UnusableRelayIsLeftOutAndReadsAsEmpty) {
    PeerAddress a = sample();
    a.relay.secret.clear();
    std::string text = formatPeerAddress(a);
    Bytes json;
    ASSERT_TRUE(base64Decode(text.substr(8), json));
    EXPECT_EQ(spanToString(json).find("\"r\""), std::string::npos);
    PeerAddress back;
    ASSERT_TRUE(parsePeerAddress(text, back));
    EXPECT_EQ(back.relay, RelayConfig{});
}

TEST(PeerAddress, LineBreaksAndBlanksPastedIntoItAreIgnored) {
    std::string text = formatPeerAddress(sample());
    std::string broken = "  ";
    for (size_t i = 0; i < text.size(); ++i) {
        if (i % 17 == 0) broken += "\r\n \t";
        broken += text[i];
    }
    broken += "\n";
    PeerAddress back;
    ASSERT_TRUE(parsePeerAddress(broken, back));
    expectSame(back, sample());
}

TEST(PeerAddress, FormerPrefixAndEitherAlphabetAreRead) {
    struct Case {
        std::string text;
        std::string name;
    };
    // {"n":"a~~~?>","k":"K"} encodes with "+" in the standard alphabet and "-" in the URL one.
    const Case cases[] = {
        {"varnoth1:eyJuIjoiYX5+fj8+IiwiayI6IksifQ==", "a~~~?>"},
        {"varnoth1:eyJuIjoiYX5-fj8-IiwiayI6IksifQ", "a~~~?>"},
        {"tavrel1:eyJuIjoiYX5+fj8+IiwiayI6IksifQ==", "a~~~?>"},
        {"tavrel1:eyJuIjoiYX5-fj8-IiwiayI6IksifQ=", "a~~~?>"},
        {"tavrel1:eyJuIjoiYX5-fj8-IiwiayI6IksifQ==trailing", "a~~~?>"},  // read up to the first "="
    };
    for (const Case& c : cases) {
        PeerAddress out;
        EXPECT_TRUE(parsePeerAddress(c.text, out)) << c.text;
        EXPECT_EQ(out.name, c.name) << c.text;
        EXPECT_EQ(out.key, "K") << c.text;
    }
}

TEST(PeerAddress, MalformedStringsAreRefused) {
    const std::string cases[] = {
        "",
        "tavrel1:",
        "TAVREL1:" + bodyOf(R"({"k":"K"})"),
        "Tavrel1:" + bodyOf(R"({"k":"K"})"),
        "tavrel2:" + bodyOf(R"({"k":"K"})"),
        bodyOf(R"({"k":"K"})"),
        "tavrel1:" + bodyOf(R"({"k":"K"})") + "!",
        "tavrel1:" + bodyOf("{\"k\":\"K\""),
        "tavrel1:" + bodyOf(R"(["k","K"])"),
        "tavrel1:" + bodyOf(R"({"n":"x"})"),
        "tavrel1:" + bodyOf(R"({"k":5})"),
        "tavrel1:" + bodyOf(R"({"k":""})"),
        "tavrel1:" + bodyOf(R"({"k":"K"} x)"),
    };
    for (const std::string& text : cases) {
        PeerAddress out;
        EXPECT_FALSE(parsePeerAddress(text, out)) << text;
    }
}

TEST(PeerAddress, OnlyAKeyReadsWithEmptyFieldsAndNoExpiry) {
    PeerAddress out = sample();
    ASSERT_TRUE(parsePeerAddress("tavrel1:" + bodyOf(R"({"k":"K"})"), out));
    EXPECT_EQ(out.key, "K");
    EXPECT_TRUE(out.name.empty());
    EXPECT_TRUE(out.token.empty());
    EXPECT_TRUE(out.addresses.empty());
    EXPECT_EQ(out.relay, RelayConfig{});
    EXPECT_EQ(out.expiry, 0);
    EXPECT_LT(out.expiry, nowSeconds());  // the caller refuses it as expired
}

TEST(PeerAddress, MistypedMembersReadLeniently) {
    PeerAddress out;
    ASSERT_TRUE(parsePeerAddress(
        "tavrel1:" + bodyOf(R"({"n":1,"k":"K","t":[],"a":["h:1",2,null],"r":{"host":" h ","port":"x"},"e":"9"})"),
        out));
    EXPECT_EQ(out.name, "");
    EXPECT_EQ(out.token, "");
    EXPECT_EQ(out.addresses, (std::vector<std::string>{"h:1", "", ""}));
    EXPECT_EQ(out.relay.host, "h");
    EXPECT_EQ(out.relay.port, 47900);
    EXPECT_EQ(out.expiry, 0);
}

TEST(PeerAddress, ExpiredStringStillReadsWithItsExpiry) {
    PeerAddress a = sample();
    a.expiry = nowSeconds() - 1;
    PeerAddress out;
    ASSERT_TRUE(parsePeerAddress(formatPeerAddress(a), out));
    EXPECT_LT(out.expiry, nowSeconds());
}

TEST(PeerAddress, OwnStringCarriesEverythingTheViewerNeeds) {
    AppConfig settings;
    settings.deviceName = "\uC11C\uC7AC PC";
    settings.port = 50123;
    KeyPair keys = keyPairFromSecret(Bytes(32, 9));
    PairingCode code;
    double expiry = 0;
    double before = nowSeconds();
    std::string text =
        makeOwnPeerAddress(code, keys, expiry, {"192.168.0.7", "10.1.2.3"}, "desk", settings);
    double after = nowSeconds();

    PeerAddress out;
    ASSERT_TRUE(parsePeerAddress(text, out));
    EXPECT_EQ(text.rfind("tavrel1:", 0), 0u);
    EXPECT_EQ(out.name, settings.deviceName);
    EXPECT_EQ(out.key, base64Encode(keys.publicKey));
    EXPECT_EQ(out.addresses,
              (std::vector<std::string>{"192.168.0.7:50123", "10.1.2.3:50123", "desk.local:50123"}));
    EXPECT_EQ(out.relay, defaultRelay());
    EXPECT_EQ(out.expiry, expiry);
    EXPECT_GE(expiry, before + 600);
    EXPECT_LE(expiry, after + 600);

    Bytes token;
    ASSERT_TRUE(base64Decode(out.token, token));
    ASSERT_EQ(token.size(), 16u);
    EXPECT_EQ(out.token.size(), 24u);
    EXPECT_TRUE(code.check(token));  // the new code is live, once
    EXPECT_FALSE(code.check(token));
}

TEST(PeerAddress, OwnStringUsesTheConfiguredRelayWhenUsable) {
    AppConfig settings;
    settings.relay = {"mine.example", 47999, "s"};
    PairingCode code;
    double expiry = 0;
    PeerAddress out;
    ASSERT_TRUE(parsePeerAddress(makeOwnPeerAddress(code, keyPairFromSecret(Bytes(32, 1)), expiry, {}, "pc", settings), out));
    EXPECT_EQ(out.relay, settings.relay);
    EXPECT_EQ(out.addresses, (std::vector<std::string>{"pc.local:47800"}));
}

TEST(PeerAddress, OwnStringRenewsTheCode) {
    PairingCode code;
    Bytes old = code.renew(600);
    double expiry = 0;
    PeerAddress out;
    ASSERT_TRUE(parsePeerAddress(makeOwnPeerAddress(code, keyPairFromSecret(Bytes(32, 1)), expiry, {}, "pc"), out));
    EXPECT_FALSE(code.check(old));
    EXPECT_EQ(out.name, configStore().get().deviceName);
}
