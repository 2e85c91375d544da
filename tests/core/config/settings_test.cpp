#include "core/config/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <functional>
#include <iterator>

#include "core/config/address.h"
#include "core/config/pairing.h"
#include "support/log_capture.h"
#include "support/run_tool.h"

namespace {

Json parsed(const std::string& text) {
    Json v;
    EXPECT_TRUE(Json::parse(text, v)) << text;
    return v;
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& m : object.members) keys.push_back(m.first);
    return keys;
}

void expectDefaults(const AppConfig& c) {
    EXPECT_EQ(c.deviceName, defaultDeviceName());
    EXPECT_FALSE(c.hosting);
    EXPECT_EQ(c.port, 47800);
    EXPECT_EQ(c.relay, RelayConfig{});
    EXPECT_EQ(c.relay.port, 47900);
    EXPECT_TRUE(c.allowed.empty());
    EXPECT_TRUE(c.hosts.empty());
    EXPECT_TRUE(c.retina && c.systemKeys && c.clipboard && c.macKeymap && c.fileTransfer);
    EXPECT_TRUE(c.stayAwake && c.stayAwakeACOnly && c.notifyConnect && c.audio);
    EXPECT_FALSE(c.passwordLogin);
    EXPECT_FALSE(c.lockLogin);
    EXPECT_EQ(c.quality, 0);
}

}  // namespace

TEST(Settings, AnythingButAnObjectGivesTheDefaults) {
    EXPECT_FALSE(defaultDeviceName().empty());
    for (const char* text : {"{}", "null", "[]", "[{\"port\":1}]", "5", "\"x\""}) {
        SCOPED_TRACE(text);
        expectDefaults(configFromJson(parsed(text)));
    }
}

TEST(Settings, MistypedMembersTakeTheirDefaults) {
    struct Case {
        const char* json;
        std::function<bool(const AppConfig&)> holds;
    };
    const Case cases[] = {
        {R"({"port":50000.9})", [](const AppConfig& c) { return c.port == 50000; }},
        {R"({"port":"50000"})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":null})", [](const AppConfig& c) { return c.port == 47800; }},
        // A port nobody can be told (cut to 16 bits, or picked by the system) is the default.
        {R"({"port":70000})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":0})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":1023})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":1024})", [](const AppConfig& c) { return c.port == 1024; }},
        {R"({"port":65535})", [](const AppConfig& c) { return c.port == 65535; }},
        {R"({"port":65536})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":-50000.9})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"port":1e300})", [](const AppConfig& c) { return c.port == 47800; }},
        {R"({"quality":-50000.9})", [](const AppConfig& c) { return c.quality == -50000; }},
        {R"({"quality":1e300})", [](const AppConfig& c) { return c.quality == INT32_MAX; }},
        {R"({"quality":-1e300})", [](const AppConfig& c) { return c.quality == INT32_MIN; }},
        {R"({"quality":7})", [](const AppConfig& c) { return c.quality == 7; }},
        {R"({"quality":2.99})", [](const AppConfig& c) { return c.quality == 2; }},
        {R"({"quality":true})", [](const AppConfig& c) { return c.quality == 0; }},
        {R"({"deviceName":""})", [](const AppConfig& c) { return c.deviceName.empty(); }},
        {R"({"deviceName":5})", [](const AppConfig& c) { return c.deviceName == defaultDeviceName(); }},
        {R"({"deviceName":"\uac70\uc2e4"})", [](const AppConfig& c) { return c.deviceName == "\uAC70\uC2E4"; }},
        {R"({"hosting":1})", [](const AppConfig& c) { return !c.hosting; }},
        {R"({"hosting":true})", [](const AppConfig& c) { return c.hosting; }},
        {R"({"audio":0})", [](const AppConfig& c) { return c.audio; }},
        {R"({"audio":false})", [](const AppConfig& c) { return !c.audio; }},
        {R"({"passwordLogin":"true"})", [](const AppConfig& c) { return !c.passwordLogin; }},
        {R"({"lockLogin":true})", [](const AppConfig& c) { return c.lockLogin; }},
        {R"({"allowed":{"name":"x"}})", [](const AppConfig& c) { return c.allowed.empty(); }},
        {R"({"hosts":[1,"x",{"name":"m"}]})",
         [](const AppConfig& c) { return c.hosts.size() == 3 && c.hosts[0].name.empty() && c.hosts[2].name == "m"; }},
        {R"({"relay":[1,2]})", [](const AppConfig& c) { return c.relay == RelayConfig{}; }},
    };
    for (const Case& c : cases) EXPECT_TRUE(c.holds(configFromJson(parsed(c.json)))) << c.json;
}

TEST(Settings, AnUnusablePortIsLoggedAndAMissingOneIsNot) {
    LogCapture log;
    EXPECT_EQ(configFromJson(parsed(R"({"hosting":true,"port":70000})")).port, 47800);
    EXPECT_EQ(log.count("포트 70000 은(는) 쓸 수 없음 → 기본 포트 47800"), 1);
    EXPECT_EQ(configFromJson(parsed("{}")).port, 47800);
    EXPECT_EQ(configFromJson(parsed(R"({"port":47801})")).port, 47801);
    EXPECT_EQ(log.count("쓸 수 없음"), 1) << log.text();
}

TEST(Settings, WrittenMembersAndOrder) {
    AppConfig c;
    Json j = configToJson(c);
    std::vector<std::string> expected = {"deviceName", "hosting", "port", "allowed", "hosts", "retina",
                                         "systemKeys", "clipboard", "macKeymap", "fileTransfer", "stayAwake",
                                         "stayAwakeACOnly", "passwordLogin", "notifyConnect", "audio",
                                         "quality", "lockLogin"};
    EXPECT_EQ(keysOf(j), expected);
    std::string text = j.dump();
    EXPECT_EQ(text.rfind("{\"deviceName\":", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 19), ",\"lockLogin\":false}");

    c.relay = {"relay.example", 47901, "s"};
    j = configToJson(c);
    ASSERT_EQ(keysOf(j).size(), expected.size() + 1);
    EXPECT_EQ(keysOf(j)[3], "relay");
    EXPECT_EQ(j.get("relay").dump(), R"({"host":"relay.example","port":47901,"secret":"s"})");
}

TEST(Settings, RelayWithoutSecretIsNotWrittenAndReadsBackEmpty) {
    AppConfig c;
    c.relay = {"relay.example", 47901, ""};
    AppConfig back = configFromJson(parsed(configToJson(c).dump()));
    EXPECT_EQ(back.relay, RelayConfig{});
}

TEST(Settings, RoundTripKeepsEveryMember) {
    AppConfig c;
    c.deviceName = "\uC11C\uC7AC PC";
    c.hosting = true;
    c.port = 50010;
    c.relay = {"r.example", 1234, "sec"};
    Peer p;
    p.name = "MacBook";
    p.key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    p.addresses = {"192.168.0.5:47800", "mac.local:47800"};
    p.relay = {"r2.example", 99, "x"};
    p.os = "mac";
    p.accessId = "012345678";
    p.added = 1700000000.25;
    p.lastConnected = 1700000100.5;
    p.wake.push(parsed(R"({"mac":"aa:bb:cc:dd:ee:ff","ip":"192.168.0.255"})"));
    c.allowed = {p, Peer{}};
    c.hosts = {p};
    c.retina = c.systemKeys = c.clipboard = c.macKeymap = c.fileTransfer = false;
    c.stayAwake = c.stayAwakeACOnly = c.notifyConnect = c.audio = false;
    c.passwordLogin = c.lockLogin = true;
    c.quality = 2;

    std::string text = configToJson(c).dump();
    AppConfig back = configFromJson(parsed(text));
    EXPECT_EQ(configToJson(back).dump(), text);
    EXPECT_EQ(back.deviceName, c.deviceName);
    ASSERT_EQ(back.allowed.size(), 2u);
    EXPECT_EQ(back.allowed[0].added, 1700000000.25);
    EXPECT_EQ(back.allowed[0].relay, p.relay);
    EXPECT_EQ(back.allowed[0].wake.dump(), p.wake.dump());
    EXPECT_EQ(back.hosts[0].addresses, p.addresses);
}

TEST(Relay, ReadingTrimsAndChecksTypes) {
    RelayConfig r = relayFromJson(parsed("{\"host\":\" \\t relay.example\\r\\n\",\"port\":47901.7,\"secret\":\"\\n s3 \"}"));
    EXPECT_EQ(r.host, "relay.example");
    EXPECT_EQ(r.port, 47901);
    EXPECT_EQ(r.secret, "s3");
    EXPECT_TRUE(r.usable());

    r = relayFromJson(parsed(R"({"host":"relay.example","port":"47901"})"));
    EXPECT_EQ(r.port, 47900);
    EXPECT_EQ(r.secret, "");
    EXPECT_FALSE(r.usable());
    AppConfig c;
    c.relay = r;
    EXPECT_EQ(effectiveRelay(c), defaultRelay());

    EXPECT_EQ(relayFromJson(Json()), RelayConfig{});
    EXPECT_EQ(relayFromJson(parsed(R"({"host":5,"secret":[]})")), RelayConfig{});
}

TEST(Relay, UsableOnlyWithHostSecretAndPositivePort) {
    struct Case {
        RelayConfig relay;
        bool usable;
    };
    const Case cases[] = {
        {{"h", 1, "s"}, true},      {{"h", 47900, "s"}, true}, {{"h", 0, "s"}, false},
        {{"h", -1, "s"}, false},    {{"", 47900, "s"}, false}, {{"h", 47900, ""}, false},
        {{"", 47900, ""}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.relay.usable(), c.usable) << c.relay.host << ":" << c.relay.port << " " << c.relay.secret;
        AppConfig config;
        config.relay = c.relay;
        EXPECT_EQ(effectiveRelay(config), c.usable ? c.relay : defaultRelay());
    }
}

// A build that was given no relay must not make one up: nothing is registered anywhere and no
// pairing string names a relay until the user sets one.
TEST(Relay, BuildWithoutRelayValuesHasNoBuiltInRelay) {
    if (TAVREL_RELAY_BUILT_IN) GTEST_SKIP() << "this build was given a built-in relay";
    EXPECT_FALSE(defaultRelay().usable());
    EXPECT_EQ(defaultRelay(), RelayConfig{});
    AppConfig settings;
    EXPECT_FALSE(effectiveRelay(settings).usable());
    PairingCode code;
    double expiry = 0;
    std::string own = makeOwnPeerAddress(code, keyPairFromSecret(Bytes(32, 3)), expiry, {}, "pc", settings);
    Bytes body;
    ASSERT_TRUE(base64Decode(own.substr(own.find(':') + 1), body));
    Json members = parsed(spanToString(body));
    EXPECT_EQ(keysOf(members), (std::vector<std::string>{"n", "k", "t", "a", "e"}));
}

// relay_probe is built with the settings record of a build given a relay (see CMakeLists.txt).
TEST(Relay, BuildGivenARelayHasItOnlyInScrambledForm) {
    std::string output;
    ASSERT_TRUE(runTool("relay_probe", output)) << output;
    Json reported = parsed(output.substr(0, output.find('\n')));
    const RelayConfig given{TAVREL_PROBE_RELAY_HOST, TAVREL_PROBE_RELAY_PORT, TAVREL_PROBE_RELAY_SECRET};
    EXPECT_EQ(relayFromJson(reported.get("default")), given);
    // With no relay configured, this PC's own pairing string carries the built-in one.
    EXPECT_EQ(relayFromJson(reported.get("own")), given);

    std::ifstream in(toolPath("relay_probe"), std::ios::binary);
    ASSERT_TRUE(in.good());
    const std::string program((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(program.size(), 10000u);
    EXPECT_EQ(program.find(TAVREL_PROBE_RELAY_SECRET), std::string::npos);
    EXPECT_EQ(program.find(TAVREL_PROBE_RELAY_HOST), std::string::npos);
}

TEST(Peer, MinimalPeerWritesOnlyTheAlwaysMembers) {
    Peer p;
    p.name = "a";
    p.key = "k";
    EXPECT_EQ(keysOf(peerToJson(p)), (std::vector<std::string>{"name", "key", "addresses", "added", "lastConnected"}));
    p.wake.tag = Json::kArray;  // empty list
    p.relay = {"h", 0, "s"};     // not usable
    EXPECT_EQ(keysOf(peerToJson(p)), (std::vector<std::string>{"name", "key", "addresses", "added", "lastConnected"}));
    p.os = "windows";
    p.accessId = "123456789";
    p.relay.port = 5;
    p.wake.push(Json(1));
    EXPECT_EQ(keysOf(peerToJson(p)), (std::vector<std::string>{"name", "key", "addresses", "relay", "os", "accessId",
                                                               "added", "lastConnected", "wake"}));
}

TEST(Peer, ReadingIsLenient) {
    Peer p = peerFromJson(parsed(R"({"name":1,"key":"k","addresses":["a:1",2],"added":"x","lastConnected":5.5,"wake":{}})"));
    EXPECT_EQ(p.name, "");
    EXPECT_EQ(p.key, "k");
    EXPECT_EQ(p.addresses, (std::vector<std::string>{"a:1", ""}));
    EXPECT_EQ(p.added, 0);
    EXPECT_EQ(p.lastConnected, 5.5);
    EXPECT_TRUE(p.wake.isNull());
    EXPECT_EQ(p.relay, RelayConfig{});

    p = peerFromJson(parsed(R"({"wake":[]})"));
    EXPECT_TRUE(p.wake.isArray());
    EXPECT_EQ(p.wake.size(), 0u);
    EXPECT_FALSE(peerToJson(p).has("wake"));

    p = peerFromJson(parsed("[1,2]"));
    EXPECT_TRUE(p.name.empty() && p.key.empty() && p.addresses.empty() && p.wake.isNull());
}

TEST(Peer, PublicKeyDecodesTheStoredText) {
    Peer p;
    p.key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    Bytes key = p.publicKey();
    ASSERT_EQ(key.size(), 32u);
    for (size_t i = 0; i < key.size(); ++i) EXPECT_EQ(key[i], i);
    p.key = "not base64!";
    EXPECT_TRUE(p.publicKey().empty());
}

// A host reports its wake description inside its own message, which may nest it as deep as the
// parser allows; stored verbatim one level further down, config.json must still read back.
TEST(Peer, WakeTooDeepForConfigIsLeftOutSoSettingsSurvive) {
    struct Case {
        int depth;
        bool kept;
    };
    for (const Case& c : {Case{3, true}, Case{61, true}, Case{62, false}, Case{63, false}}) {
        SCOPED_TRACE(c.depth);
        std::string wake = std::string(size_t(c.depth), '[') + std::string(size_t(c.depth), ']');
        Json message = parsed("{\"wake\":" + wake + "}");
        AppConfig config;
        config.port = 50020;
        Peer p;
        p.name = "host";
        p.key = "k";
        p.wake = message.get("wake");
        config.hosts = {p};
        config.allowed = {p};

        Json back;
        ASSERT_TRUE(Json::parse(configToJson(config).dump(), back));
        AppConfig again = configFromJson(back);
        EXPECT_EQ(again.port, 50020);
        ASSERT_EQ(again.hosts.size(), 1u);
        ASSERT_EQ(again.allowed.size(), 1u);
        EXPECT_EQ(again.hosts[0].name, "host");
        EXPECT_EQ(again.hosts[0].wake.dump(), c.kept ? wake : "null");
        EXPECT_EQ(again.allowed[0].wake.dump(), c.kept ? wake : "null");
    }
}
