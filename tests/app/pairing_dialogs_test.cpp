#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/pairing_dialogs.h"
#include "core/config/address.h"
#include "core/text.h"
#include "files/fileio.h"

namespace {

TEST(PairingIntro, ShowsTheCodesEndInLocalHoursAndMinutes) {
    int64_t asked = -1;
    const LocalTimeFn fivePastTwo = [&](int64_t seconds, LocalTimeParts& out) {
        asked = seconds;
        out.hour = 14;
        out.minute = 5;
        return true;
    };
    EXPECT_EQ(pairingIntro(1710079500.9, fivePastTwo),
              L"연결할 Mac · PC 의 Tavrel 에서 '연결할 컴퓨터 추가…'에 붙여 넣으세요.\n14:05 까지 한 번만 쓸 수 "
              L"있습니다. 본인 기기 사이에서만 주고받으세요.");
    EXPECT_EQ(asked, 1710079500);  // whole seconds
    const LocalTimeFn early = [](int64_t, LocalTimeParts& out) {
        out.hour = 0;
        out.minute = 7;
        return true;
    };
    EXPECT_NE(pairingIntro(0, early).find(L"\n00:07 까지"), std::wstring::npos);
}

PeerAddress sampleAddress(double expiry) {
    PeerAddress a;
    a.name = "서재 PC";
    a.key = base64Encode(Bytes(32, 7));
    a.token = base64Encode(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    a.addresses = {"192.168.0.10:47800", "seojae.local:47800"};
    a.relay = {"relay.test", 47901, "비밀"};
    a.expiry = expiry;
    return a;
}

TEST(PairingAddress, APastedStringOpensTheComputerWithItsToken) {
    const double now = 1710072000;
    std::string text = formatPeerAddress(sampleAddress(now));
    // Pasted with line breaks and blanks inside.
    text.insert(30, "\r\n  ");
    text.insert(12, "\n\t");
    text = "  " + text + "\n";
    Peer peer;
    peer.os = "mac";  // anything that was there goes
    peer.added = 5;
    Bytes token;
    ASSERT_EQ(peerFromAddress(text, now, peer, token), AddressProblem::None);
    EXPECT_EQ(peer.name, "서재 PC");
    EXPECT_EQ(peer.key, sampleAddress(now).key);
    EXPECT_EQ(peer.addresses, sampleAddress(now).addresses);
    EXPECT_EQ(peer.relay, (RelayConfig{"relay.test", 47901, "비밀"}));
    EXPECT_EQ(peer.os, "");
    EXPECT_EQ(peer.accessId, "");
    EXPECT_EQ(peer.added, 0);
    EXPECT_EQ(peer.lastConnected, 0);
    EXPECT_TRUE(peer.wake.isNull());
    EXPECT_EQ(token, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST(PairingAddress, UnreadableAndExpiredStringsAreRefused) {
    const double now = 1710072000;
    const std::string good = formatPeerAddress(sampleAddress(now));
    struct Case { std::string text; double now; AddressProblem problem; };
    const Case cases[] = {
        {good, now, AddressProblem::None},                   // the last second it is valid
        {good, now + 1, AddressProblem::Expired},
        {good.substr(std::string("tavrel1:").size()), now, AddressProblem::Unreadable},  // no prefix
        {"TAVREL1:" + good.substr(8), now, AddressProblem::Unreadable},
        {"tavrel1:!!!", now, AddressProblem::Unreadable},
        {"", now, AddressProblem::Unreadable},
        {formatPeerAddress(sampleAddress(0)), now, AddressProblem::Expired},  // no expiry written as 0
    };
    for (const Case& c : cases) {
        Peer peer;
        Bytes token;
        EXPECT_EQ(peerFromAddress(c.text, c.now, peer, token), c.problem) << c.text;
    }
}

TEST(AccessTarget, NineDigitsNameAnAccessIdElseAnAddress) {
    AppConfig config;
    config.relay = {"127.0.0.1", 47999, "test-relay-secret"};
    struct Case {
        std::string target;
        bool ok;
        std::string name, accessId, address;  // address empty: reached through the relay
    };
    const Case cases[] = {
        {"123-456-789", true, "접속 ID 123 456 789", "123456789", ""},
        {"123 456 789", true, "접속 ID 123 456 789", "123456789", ""},
        {"123456789", true, "접속 ID 123 456 789", "123456789", ""},
        {"12345678", true, "12345678", "", "12345678:47800"},
        {"192.168.0.10", true, "192.168.0.10", "", "192.168.0.10:47800"},
        {"서재.local", true, "서재.local", "", "서재.local:47800"},
        {"192.168.0.10:5900", true, "192.168.0.10:5900", "", "192.168.0.10:5900"},
        {"192.168.0.10:0", false, "", "", ""},
        {"192.168.0.10:70000", false, "", "", ""},
        {"192.168.0.10:", false, "", "", ""},
        {"fe80::1", true, "fe80::1", "", "[fe80::1]:47800"},
        {"[fe80::1]", true, "[fe80::1]", "", "[fe80::1]:47800"},
        {"[fe80::1]:5900", true, "[fe80::1]:5900", "", "[fe80::1]:5900"},
        {"", false, "", "", ""},
    };
    for (const Case& c : cases) {
        Peer peer;
        peer.os = "mac";
        ASSERT_EQ(peerFromTarget(c.target, config, peer), c.ok) << c.target;
        if (!c.ok) continue;
        EXPECT_EQ(peer.name, c.name) << c.target;
        EXPECT_EQ(peer.accessId, c.accessId) << c.target;
        EXPECT_EQ(peer.key, "");
        EXPECT_EQ(peer.os, "");
        if (c.address.empty()) {
            EXPECT_TRUE(peer.addresses.empty()) << c.target;
            EXPECT_EQ(peer.relay, effectiveRelay(config)) << c.target;
            EXPECT_EQ(peer.relay, config.relay);
        } else {
            EXPECT_EQ(peer.addresses, std::vector<std::string>{c.address}) << c.target;
            EXPECT_EQ(peer.relay, RelayConfig()) << c.target;  // direct only
        }
    }
}

// Composes the one decomposed word the tests type, as the system's NFC would.
std::string fakeNfc(const std::wstring& typed) {
    const std::wstring decomposed = L"\u1112\u1161\u11AB\u1100\u116E\u11A8\u110B\u1165";  // 한국어, 8 units
    return utf8FromWide(typed == decomposed ? std::wstring(L"한국어") : typed);
}

TEST(PasswordChoice, ComparedAsTypedThenCountedAfterNormalising) {
    const std::wstring emoji4 = L"\U0001F600\U0001F601\U0001F602\U0001F603";
    const std::wstring nfd = L"\u1112\u1161\u11AB\u1100\u116E\u11A8\u110B\u1165";
    struct Case {
        std::wstring typed, confirmation;
        bool stored;
        PasswordChoice::Kind kind;
        std::string result;  // the password to store, or the error
    };
    const Case cases[] = {
        {L"abcdefg", L"abcdefg", false, PasswordChoice::Refuse, "비밀번호는 8자 이상이어야 합니다."},
        {L"abcdefgh", L"abcdefgh", false, PasswordChoice::Store, "abcdefgh"},
        {L"비밀번호입니다요", L"비밀번호입니다요", true, PasswordChoice::Store, "비밀번호입니다요"},
        {emoji4, emoji4, false, PasswordChoice::Store, utf8FromWide(emoji4)},  // 4 characters, 8 units
        {emoji4.substr(0, 3) + L"a", emoji4.substr(0, 3) + L"a", false, PasswordChoice::Refuse,
         "비밀번호는 8자 이상이어야 합니다."},
        {nfd, nfd, false, PasswordChoice::Refuse, "비밀번호는 8자 이상이어야 합니다."},  // 3 units after NFC
        {L"", L"", true, PasswordChoice::Keep, ""},
        {L"", L"", false, PasswordChoice::Refuse, "비밀번호를 정하세요."},
        {L"", L"abcdefgh", true, PasswordChoice::Refuse, "두 비밀번호가 다릅니다."},
        {L"abcdefgh", L"", true, PasswordChoice::Refuse, "두 비밀번호가 다릅니다."},
        {L"abcdefgh", L"abcdefgH", false, PasswordChoice::Refuse, "두 비밀번호가 다릅니다."},
        {L"abcdefgh", L"abcdefgh ", false, PasswordChoice::Refuse, "두 비밀번호가 다릅니다."},
        // The same text once composed and once decomposed: typed differently.
        {L"caf\u00E9caf\u00E9", L"cafe\u0301cafe\u0301", false, PasswordChoice::Refuse, "두 비밀번호가 다릅니다."},
    };
    for (const Case& c : cases) {
        std::wstring typed = c.typed, confirmation = c.confirmation;
        const PasswordChoice choice = choosePassword(typed, confirmation, c.stored, fakeNfc);
        EXPECT_EQ(choice.kind, c.kind) << utf8FromWide(c.typed);
        EXPECT_EQ(c.kind == PasswordChoice::Store ? choice.password : choice.error, c.result) << utf8FromWide(c.typed);
        if (c.kind != PasswordChoice::Store) {
            EXPECT_TRUE(choice.password.empty());
        }
        EXPECT_TRUE(typed.empty());  // the typed texts are gone whatever the outcome
        EXPECT_TRUE(confirmation.empty());
    }
}

TEST(PasswordChoice, TheTypedTextsAreOverwrittenInPlace) {
    std::wstring typed = L"abcdefgh", confirmation = L"abcdefgh";
    const wchar_t* buffers[] = {typed.data(), confirmation.data()};
    const PasswordChoice choice = choosePassword(typed, confirmation, false, fakeNfc);
    ASSERT_EQ(choice.kind, PasswordChoice::Store);
    for (const wchar_t* b : buffers)
        for (int i = 0; i < 8; ++i) EXPECT_EQ(b[i], L'\0');  // a cleared string keeps its buffer
    std::string copy = choice.password;
    const char* bytes = copy.data();
    wipeTyped(copy);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], '\0');
}

}  // namespace
