#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/menu.h"
#include "core/text.h"
#include "support/utc_time.h"

namespace {

// 2024-03-10 12:00 UTC.
constexpr double kNow = 1710072000;

// The menu's texts are in the basic plane: unit for unit a wide string.
std::string utf8(const std::u16string& text) {
    const std::wstring wide(text.begin(), text.end());
#ifdef _WIN32
    return wideToUtf8(wide);
#else
    return portableWideToUtf8(wide);
#endif
}

// One line per item: id, text, [x] checked, [-] grayed; popups indent their items.
void render(const std::vector<MenuNode>& items, const std::string& indent, std::string& out) {
    for (const MenuNode& n : items) {
        if (n.separator) {
            out += indent + "----\n";
            continue;
        }
        if (n.popup) {
            out += indent + "> " + utf8(n.text) + "\n";
            render(n.items, indent + "  ", out);
            continue;
        }
        out += indent + std::to_string(n.id) + " " + utf8(n.text) + (n.checked ? " [x]" : "") + (n.grayed ? " [-]" : "") +
               "\n";
    }
}

std::string render(const std::vector<MenuNode>& items) {
    std::string out;
    render(items, "", out);
    return out;
}

const MenuNode* find(const std::vector<MenuNode>& items, const std::u16string& text) {
    for (const MenuNode& n : items)
        if (n.text == text) return &n;
    return nullptr;
}

TrayFacts idleFacts() {
    TrayFacts f;
    f.accessId = "123456789";
    f.keepAwakeActive = true;
    f.now = kNow;
    return f;
}

TEST(TrayMenuTree, HostingOffLeavesOutTheServerItems) {
    AppConfig config;
    config.hosting = false;
    config.stayAwake = false;  // what the status line would say must not show
    const std::string expected =
        "1 원격 제어 허용\n"
        "21 접속 기록…\n"
        "----\n"
        "> 연결\n"
        "  0 등록한 컴퓨터 없음 [-]\n"
        "3 연결할 컴퓨터 추가…\n"
        "18 접속 ID · 비밀번호로 연결…\n"
        "----\n"
        "4 짝 맺기 코드 만들기…\n"
        "19 비밀번호 접속…\n"
        "----\n"
        "> 설정\n"
        "  5 원래 해상도로 선명하게 [x]\n"
        "  6 Alt+Tab · Win 키도 보내기 [x]\n"
        "  7 클립보드 함께 쓰기 [x]\n"
        "  8 Mac 을 PC 단축키로 다루기 [x]\n"
        "  9 파일 주고받기 (받은 파일은 다운로드 폴더) [x]\n"
        "  10 원격 제어 허용 중 잠자기 막기\n"
        "  11 배터리일 때도 잠자기 막기 [-]\n"
        "  ----\n"
        "  12 이 PC 이름 바꾸기…\n"
        "  13 포트 바꾸기…\n"
        "  14 중계 서버…\n"
        "  15 로그인할 때 열기\n"
        "  23 누가 연결하면 알림 [x]\n"
        "  25 잠긴 화면에서도 로그인 허용 (관리자 권한)\n"
        "  16 기록 보기\n"
        "----\n"
        "17 종료\n";
    TrayFacts facts = idleFacts();
    facts.session = true;  // a session still closing does not bring the items back
    facts.curtainUp = true;
    facts.sessionPeer = "맥북";
    EXPECT_EQ(render(trayMenu(config, facts, nullptr, utcTime)), expected);
}

TEST(TrayMenuTree, WaitingWithoutRelayShowsThePortOnly) {
    if (defaultRelay().usable()) GTEST_SKIP() << "this build carries a relay";
    AppConfig config;
    config.hosting = true;
    config.passwordLogin = true;
    TrayFacts facts = idleFacts();
    facts.serverRunning = true;
    facts.port = 47800;
    facts.runValueSet = true;
    facts.lockServiceInstalled = true;
    const std::string menu = render(trayMenu(config, facts, nullptr, utcTime));
    EXPECT_EQ(menu.substr(0, menu.find("----")),
              "1 원격 제어 허용 [x]\n"
              "0 대기 중 · 포트 47800 [-]\n"
              "19 접속 ID 123 456 789 · 비밀번호 접속 꺼짐\n"
              "21 접속 기록…\n");
    EXPECT_NE(menu.find("19 비밀번호 접속…\n20 비밀번호 접속 끄기\n"), std::string::npos);
    EXPECT_NE(menu.find("  15 로그인할 때 열기 [x]\n"), std::string::npos);
    EXPECT_NE(menu.find("  25 잠긴 화면에서도 로그인 허용 (관리자 권한) [x]\n"), std::string::npos);
}

TEST(TrayMenuTree, StatusLineAndServerItems) {
    AppConfig withRelay;
    withRelay.hosting = true;
    withRelay.relay = {"relay.test", 47900, "s"};
    struct Case {
        const char* name;
        bool session, running, relayConnected, stayAwake, keepAwake, curtain;
        std::string head;
    };
    const Case cases[] = {
        {"controlled", true, true, true, false, false, true,
         "1 원격 제어 허용 [x]\n"
         "0 맥북 이(가) 제어 중 · 중계 연결됨 · 잠자기 막기 꺼짐 [-]\n"
         "19 접속 ID 123 456 789 · 비밀번호 접속 켜짐\n"
         "2 연결 끊기\n"
         "22 맥북 에 메시지 보내기…\n"
         "24 화면 가리기 풀기\n"
         "21 접속 기록…\n"},
        {"not listening", false, false, false, true, false, false,
         "1 원격 제어 허용 [x]\n"
         "0 대기하지 못함 · 중계 연결 안 됨 · 배터리라 잠자기 막지 않음 [-]\n"
         "19 접속 ID 123 456 789 · 비밀번호 접속 켜짐\n"
         "21 접속 기록…\n"},
        {"waiting", false, true, true, true, true, true,
         "1 원격 제어 허용 [x]\n"
         "0 대기 중 · 포트 47801 · 중계 연결됨 [-]\n"
         "19 접속 ID 123 456 789 · 비밀번호 접속 켜짐\n"
         "24 화면 가리기 풀기\n"
         "21 접속 기록…\n"},
    };
    for (const Case& c : cases) {
        AppConfig config = withRelay;
        config.stayAwake = c.stayAwake;
        TrayFacts facts = idleFacts();
        facts.session = c.session;
        facts.sessionPeer = "맥북";
        facts.serverRunning = c.running;
        facts.port = 47801;
        facts.relayConnected = c.relayConnected;
        facts.keepAwakeActive = c.keepAwake;
        facts.curtainUp = c.curtain;
        facts.passwordAccessOn = true;
        const std::string menu = render(trayMenu(config, facts, nullptr, utcTime));
        EXPECT_EQ(menu.substr(0, menu.find("----")), c.head) << c.name;
    }
}

TEST(TrayMenuTree, LockedPasswordLoginsShowTheFailuresAndTheEnd) {
    AppConfig config;
    config.hosting = true;
    TrayFacts facts = idleFacts();
    facts.passwordFailures = 7;
    facts.lockedUntil = 1710079500.9;  // 14:05:00.9
    facts.passwordAccessOn = true;
    EXPECT_EQ(trayMenu(config, facts, nullptr, utcTime)[2].text, u"비밀번호 7번 틀림 · 14:05 까지 잠김");
    const LocalTimeFn failing = [](int64_t, LocalTimeParts&) { return false; };
    EXPECT_EQ(trayMenu(config, facts, nullptr, failing)[2].text, u"비밀번호 7번 틀림 · 잠김");
    // A lock matters only while password logins are on.
    facts.passwordAccessOn = false;
    EXPECT_EQ(trayMenu(config, facts, nullptr, utcTime)[2].text, u"접속 ID 123 456 789 · 비밀번호 접속 꺼짐");
}

Peer host(const std::string& name, const std::string& os, const std::string& wake = "null") {
    Peer p;
    p.name = name;
    p.key = base64Encode(asBytes(name + "-key-padding-to-32-bytes-long!!"));
    p.os = os;
    EXPECT_TRUE(Json::parse(wake, p.wake));
    return p;
}

TEST(TrayMenuTree, RegisteredComputersWithPresenceAndWake) {
    AppConfig config;
    config.hosts = {host("맥북", "mac", R"([{"mac":"aa","bcast":"b"}])"), host("스튜디오", "windows"),
                    host("NAS", "", "[]"), host("옛 PC", "windows", R"([{"mac":"cc","bcast":"d"}])")};
    config.allowed = {host("폰", "")};
    const std::map<std::string, std::pair<int, double>> presence = {
        {"맥북", {1, 0}}, {"스튜디오", {2, 1710019800}}, {"NAS", {2, 0}}, {"옛 PC", {0, 0}}};
    const PresenceOf presenceOf = [&](const Peer& p, double* seen) {
        const auto& [state, at] = presence.at(p.name);
        if (seen) *seen = at;
        return state;
    };
    const std::vector<MenuNode> menu = trayMenu(config, idleFacts(), presenceOf, utcTime);
    EXPECT_EQ(render({*find(menu, u"연결")}),
              "> 연결\n"
              "  1000 ● 맥북  (Mac)  · 연결 가능\n"
              "  1001 ○ 스튜디오  (PC)  · 꺼져 있음 (어제 21:30 부터)\n"
              "  1002 ○ NAS  · 꺼져 있음\n"
              "  1003 ○ 옛 PC  (PC)\n"
              "  ----\n"
              "  > 꺼진 컴퓨터 깨우기\n"
              "    4000 맥북 깨우기\n"
              "    4003 옛 PC 깨우기\n");
    EXPECT_EQ(render({*find(menu, u"허용한 기기"), *find(menu, u"등록한 컴퓨터")}),
              "> 허용한 기기\n"
              "  2000 폰 지우기…\n"
              "> 등록한 컴퓨터\n"
              "  3000 맥북 지우기…\n"
              "  3001 스튜디오 지우기…\n"
              "  3002 NAS 지우기…\n"
              "  3003 옛 PC 지우기…\n");
    // Without any wake data there is no wake popup.
    config.hosts.erase(config.hosts.begin());
    config.hosts.pop_back();
    EXPECT_EQ(find(trayMenu(config, idleFacts(), presenceOf, utcTime), u"연결")->items.size(), 2u);
}

TEST(TrayMenuTree, BatteryItemCheckedWhenNotACOnlyAndGrayedWithoutStayAwake) {
    struct Case { bool stayAwake, acOnly, checked, grayed; };
    const Case cases[] = {{true, true, false, false}, {true, false, true, false},
                          {false, false, true, true}, {false, true, false, true}};
    for (const Case& c : cases) {
        AppConfig config;
        config.stayAwake = c.stayAwake;
        config.stayAwakeACOnly = c.acOnly;
        const std::vector<MenuNode> menu = trayMenu(config, idleFacts(), nullptr, utcTime);
        const MenuNode* settings = find(menu, u"설정");
        ASSERT_TRUE(settings);
        const MenuNode* battery = find(settings->items, u"배터리일 때도 잠자기 막기");
        ASSERT_TRUE(battery);
        EXPECT_EQ(battery->id, 11u);
        EXPECT_EQ(battery->checked, c.checked) << c.stayAwake << c.acOnly;
        EXPECT_EQ(battery->grayed, c.grayed) << c.stayAwake << c.acOnly;
    }
}

TEST(TrayLastSeen, TodayYesterdayAndOtherDays) {
    struct Case { double seen, now; std::u16string text; };
    const Case cases[] = {
        {1710061500, kNow, u"오늘 09:05"},
        {1710019800, kNow, u"어제 21:30"},
        {1710019800.99, kNow, u"어제 21:30"},
        // The last day of the previous year seen on the first of January.
        {1735686900, 1735718400, u"12월 31일 23:15"},
        {1678449600, kNow, u"03월 10일 12:00"},   // the same date a year earlier
        {1709251140, 1709287200, u"어제 23:59"},  // 29 February, seen on 1 March
        {1709942400, kNow, u"어제 00:00"},
        {1709942399, kNow, u"03월 08일 23:59"},   // two days back
    };
    for (const Case& c : cases) EXPECT_EQ(lastSeenText(c.seen, c.now, utcTime), c.text) << c.seen;
    const LocalTimeFn failing = [](int64_t, LocalTimeParts&) { return false; };
    EXPECT_EQ(lastSeenText(1710019800, kNow, failing), u"");
    EXPECT_EQ(lastSeenText(1710019800, kNow, nullptr), u"");
    // A failed conversion leaves the time out of the line.
    Peer p = host("스튜디오", "windows");
    EXPECT_EQ(hostMenuText(p, 2, 1710019800, kNow, failing), u"○ 스튜디오  (PC)  · 꺼져 있음");
}

TEST(TrayCommandDispatch, TableAndListsWithTheirIndexChecks) {
    using K = TrayCommand::Kind;
    struct Case { unsigned id; size_t hosts; TrayCommand command; };
    const Case cases[] = {
        {0, 5, {}},
        {1, 0, {K::Table, 1, 0}},
        {17, 0, {K::Table, 17, 0}},
        {25, 0, {K::Table, 25, 0}},
        {26, 9, {}},
        {999, 9, {}},
        {1000, 0, {}},
        {1000, 1, {K::OpenHost, 0, 0}},
        {1999, 1000, {K::OpenHost, 0, 999}},
        {1003, 3, {}},
        {2000, 0, {K::RemoveAllowed, 0, 0}},
        {2999, 0, {K::RemoveAllowed, 0, 999}},
        {3005, 0, {K::RemoveHost, 0, 5}},
        {4002, 3, {K::WakeHost, 0, 2}},
        {4002, 2, {}},
        {4999, 2000, {K::WakeHost, 0, 999}},
        {5000, 9999, {}},
        {0xFFFFFFFF, 9999, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(trayCommand(c.id, c.hosts), c.command) << c.id << " hosts " << c.hosts;
}

TEST(TrayPortDialog, OnlyPortsFrom1024To65535AndNoWrapAround) {
    struct Case { std::u16string typed; std::optional<int32_t> port; };
    const Case cases[] = {
        {u"80", std::nullopt},        {u"70000", std::nullopt},   {u"2048", 2048},
        {u"4294969344", std::nullopt}, // 2^32 + 2048 must not come out as 2048
        {u"18446744073709553664", std::nullopt},
        {u"1024", 1024},              {u"65535", 65535},          {u"65536", std::nullopt},
        {u"1023", std::nullopt},      {u" \t2048abc", 2048},      {u"+2048", 2048},
        {u"-2048", std::nullopt},     {u"0002048", 2048},         {u"", std::nullopt},
        {u"abc", std::nullopt},       {u"２０４８", std::nullopt}, {u"- 2048", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(portFromText(c.typed), c.port) << utf8(c.typed);
}

TEST(TrayNameDialog, TrimmedAndNeverEmpty) {
    EXPECT_EQ(nameFromText("  작업실 PC \r\n"), std::optional<std::string>("작업실 PC"));
    EXPECT_EQ(nameFromText(" \t\n"), std::nullopt);
    EXPECT_EQ(nameFromText(""), std::nullopt);
}

TEST(TrayRelayDialog, FieldsAndWhatTheInputAsksFor) {
    const RelayDialogText complete = relayDialogText({"relay.test", 47901, "s3"}, false);
    EXPECT_EQ(complete.address, "relay.test:47901");
    EXPECT_EQ(complete.secret, "s3");
    EXPECT_EQ(complete.addressLabel, u"주소:포트 (예: relay.example.net:47900)");
    EXPECT_EQ(complete.intro,
              u"다른 망에 있는 컴퓨터끼리 연결할 때 씁니다. 화면 · 입력은 끝에서 끝까지 암호화되어 중계 서버는 내용을 볼 "
              u"수 없습니다. 비우면 쓰지 않습니다.");
    const RelayDialogText noSecret = relayDialogText({"relay.test", 47901, ""}, true);
    EXPECT_EQ(noSecret.address, "");
    const std::u16string builtIn = u"비우면 설치본에 들어 있는 기본 중계 서버를 씁니다.";
    EXPECT_EQ(noSecret.intro.substr(noSecret.intro.size() - builtIn.size()), builtIn);

    struct Case { std::string address, secret; RelayEdit::Outcome outcome; RelayConfig relay; };
    const Case cases[] = {
        {"", "typed secret", RelayEdit::Reset, {"", 47900, ""}},
        {"", "", RelayEdit::Reset, {"", 47900, ""}},
        {"relay.test:47901", "s", RelayEdit::Store, {"relay.test", 47901, "s"}},
        {"[::1]:47900", "s", RelayEdit::Store, {"::1", 47900, "s"}},
        {"relay.test:47901", "", RelayEdit::Invalid, {}},
        {"relay.test", "s", RelayEdit::Invalid, {}},
        {"relay.test:0", "s", RelayEdit::Invalid, {}},
        {"relay.test:65536", "s", RelayEdit::Invalid, {}},
        {":47900", "s", RelayEdit::Invalid, {}},
    };
    for (const Case& c : cases) {
        const RelayEdit edit = relayEdit(c.address, c.secret);
        EXPECT_EQ(edit.outcome, c.outcome) << c.address;
        if (c.outcome != RelayEdit::Invalid) {
            EXPECT_EQ(edit.relay, c.relay) << c.address;
        }
    }
}

TEST(TrayRemovePeer, QuestionsAndWhatGoes) {
    EXPECT_EQ(removeQuestion(true, "폰"), u"'폰' 이(가) 더 이상 이 PC 를 제어할 수 없게 됩니다.");
    EXPECT_EQ(removeQuestion(false, "맥북"),
              u"'맥북' 을(를) 목록에서 지웁니다. 다시 연결하려면 새 짝 맺기 코드가 필요합니다.");

    const auto names = [](const std::vector<Peer>& list) {
        std::string out;
        for (const Peer& p : list) out += p.name + ";";
        return out;
    };
    Peer a = host("a", ""), b = host("b", ""), a2 = a;
    a2.name = "a again";
    Peer keyless1, keyless2;
    keyless1.name = "no key 1";
    keyless2.name = "no key 2";
    std::vector<Peer> list = {a, keyless1, b, a2, keyless2};
    EXPECT_EQ(removeMatching(list, a, 0), 2u);  // every entry with that key
    EXPECT_EQ(names(list), "no key 1;b;no key 2;");
    // An empty key matches nothing else: only the chosen entry goes, even from a changed list.
    EXPECT_EQ(removeMatching(list, keyless2, 3), 1u);
    EXPECT_EQ(names(list), "no key 1;b;");
    EXPECT_EQ(removeMatching(list, keyless2, 0), 0u);
    EXPECT_EQ(names(list), "no key 1;b;");
}

}  // namespace
