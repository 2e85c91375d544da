#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "core/util.h"
#include "host/protocol/messages.h"
#include "viewer/menu_model.h"

namespace {

Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

// One line per item: "text #id" with [x] checked, (g) greyed, | a new column; "-" a separator;
// a popup's items follow it indented.
void render(const std::vector<ViewerMenuItem>& items, const std::u16string& indent, std::u16string& out) {
    for (const ViewerMenuItem& i : items) {
        out += indent;
        if (i.separator) {
            out += u"-\n";
            continue;
        }
        if (i.newColumn) out += u"| ";
        if (i.checked) out += u"[x] ";
        if (i.grayed) out += u"(g) ";
        out += i.text;
        if (i.id != 0) {
            char id[16];
            std::snprintf(id, sizeof id, " #%X", i.id);
            out.append(id, id + std::strlen(id));
        }
        out += u"\n";
        if (i.popup) render(i.items, indent + u"  ", out);
    }
}

std::u16string render(const ViewerMenuItem& popup) {
    std::u16string out = popup.text + u"\n";
    render(popup.items, u"  ", out);
    return out;
}

const ViewerMenuItem* find(const std::vector<ViewerMenuItem>& items, unsigned id) {
    for (const ViewerMenuItem& i : items) {
        if (i.id == id && !i.popup) return &i;
        if (const ViewerMenuItem* inner = find(i.items, id)) return inner;
    }
    return nullptr;
}

bool hasText(const std::vector<ViewerMenuItem>& items, const std::u16string& text) {
    for (const ViewerMenuItem& i : items)
        if (i.text == text || hasText(i.items, text)) return true;
    return false;
}

struct Menu {
    AppConfig config;
    Json info;
    Json apps;
    MenuFacts facts;
    std::vector<ViewerMenuItem> bar() const { return viewerMenuBar(config, info, apps, facts); }
};

const char* const kAllFeatures =
    R"(["combo","files","apps","audio","quality","curtain","chat","browse","unlock","power"])";

TEST(ViewerMenu, ScreenPopupListsTheDisplays) {
    Menu m;
    m.config.retina = true;
    m.info = parsed(R"({"current":1,"displays":[{"widthPt":1920,"heightPt":1080},)"
                    R"({"main":true,"widthPt":2560.7,"heightPt":1440},{"widthPt":"?"}]})");
    m.facts.fullScreen = true;
    EXPECT_EQ(render(m.bar()[0]),
              u"화면 2/3\n"
              u"  디스플레이 1  1920×1080 #1100\n"
              u"  [x] 주 디스플레이  2560×1440 #1110\n"
              u"  디스플레이 3  0×0 #1120\n"
              u"  -\n"
              u"  다음 디스플레이\tCtrl+Alt+Win+→ #1050\n"
              u"  앞 디스플레이\tCtrl+Alt+Win+← #1040\n"
              u"  -\n"
              u"  [x] 원래 해상도로 선명하게 #1010\n"
              u"  [x] 전체 화면\tCtrl+Alt+Win+Enter #1000\n"
              u"  다시 연결 #1030\n");
}

TEST(ViewerMenu, OneDisplayOrNoneGreysSwitching) {
    Menu m;
    m.config.retina = false;
    EXPECT_EQ(render(m.bar()[0]),
              u"화면\n"
              u"  (g) 디스플레이 정보를 기다리는 중\n"
              u"  -\n"
              u"  (g) 다음 디스플레이\tCtrl+Alt+Win+→ #1050\n"
              u"  (g) 앞 디스플레이\tCtrl+Alt+Win+← #1040\n"
              u"  -\n"
              u"  원래 해상도로 선명하게 #1010\n"
              u"  전체 화면\tCtrl+Alt+Win+Enter #1000\n"
              u"  다시 연결 #1030\n");
    m.info = parsed(R"({"current":0,"displays":[{"main":true,"widthPt":1,"heightPt":1}]})");
    const ViewerMenuItem screen = m.bar()[0];
    EXPECT_EQ(screen.text, u"화면");
    EXPECT_TRUE(find(screen.items, ViewerId::NextDisplay)->grayed);
    EXPECT_TRUE(find(screen.items, ViewerId::Display)->checked);
}

TEST(ViewerMenu, ShowsAtMostSixteenDisplays) {
    Menu m;
    Json displays;
    for (int i = 0; i < 17; ++i) displays.push(parsed(R"({"widthPt":800,"heightPt":600})"));
    m.info.set("displays", displays);
    m.info.set("current", 16);
    const ViewerMenuItem screen = m.bar()[0];
    EXPECT_EQ(screen.text, u"화면 17/17");
    EXPECT_NE(find(screen.items, ViewerId::Display + 15 * 16), nullptr);
    EXPECT_EQ(find(screen.items, ViewerId::Display + 16 * 16), nullptr);
}

TEST(ViewerMenu, KeyPopupFollowsTheHostType) {
    Menu m;
    m.info = parsed(std::string(R"({"os":"windows","features":)") + kAllFeatures + "}");
    m.facts.keyboardHook = true;
    EXPECT_EQ(render(m.bar()[1]),
              u"키 보내기\n"
              u"  시작 메뉴 (Win) #1200\n"
              u"  앱 바꾸기 (Alt+Tab) #1210\n"
              u"  작업 보기 (Win+Tab) #1220\n"
              u"  바탕 화면 보기 (Win+D) #1230\n"
              u"  파일 탐색기 (Win+E) #1240\n"
              u"  작업 관리자 (Ctrl+Shift+Esc) #1250\n"
              u"  화면 캡처 (Win+Shift+S) #1260\n"
              u"  한/영 바꾸기 #1270\n"
              u"  화면 잠금 (Win+L) #1280\n"
              u"  -\n"
              u"  (g) 누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)\n");
    // A Mac host without "combo": greyed rows, the note, and the key-map switch.
    m.info = parsed(R"({"os":"mac","features":[]})");
    m.config.macKeymap = true;
    EXPECT_EQ(render(m.bar()[1]),
              u"키 보내기\n"
              u"  (g) 앱 바꾸기 (⌘Tab) #1200\n"
              u"  (g) Spotlight (⌘Space) #1210\n"
              u"  (g) 입력 소스 바꾸기 (⌃Space) #1220\n"
              u"  (g) Mission Control (⌃↑) #1230\n"
              u"  (g) 강제 종료 (⌥⌘Esc) #1240\n"
              u"  (g) 화면 캡처 (⇧⌘5) #1250\n"
              u"  (g) 화면 잠금 (⌃⌘Q) #1260\n"
              u"  (g) 원격 쪽 Tavrel 를 새 판으로 바꾸면 쓸 수 있습니다\n"
              u"  -\n"
              u"  [x] PC 단축키로 Mac 다루기 (Ctrl+C → ⌘C) #1020\n"
              u"  (g) 누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)\n");
}

TEST(ViewerMenu, HostTypeComesFromTheSessionWhenTheDescriptionIsSilent) {
    Menu m;
    m.info = parsed(R"({"features":["combo"]})");  // no "os"
    m.facts.session = true;
    m.facts.hostOs = "windows";
    EXPECT_EQ(m.bar()[1].items[0].text, u"시작 메뉴 (Win)");
    m.facts.hostOs = "mac";
    EXPECT_EQ(m.bar()[1].items[0].text, u"앱 바꾸기 (⌘Tab)");
    // A window that never had a session shows the Mac table, whatever an old hello said.
    m.facts.session = false;
    m.facts.hostOs = "windows";
    EXPECT_EQ(m.bar()[1].items[0].text, u"앱 바꾸기 (⌘Tab)");
}

TEST(ViewerMenu, SystemKeysNote) {
    struct Case {
        bool setting, hook, connected;
        std::u16string note;
    } cases[] = {
        {true, true, false, u"누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)"},
        {true, true, true, u"누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)"},
        {true, false, true, u"시스템 단축키를 붙잡지 못했습니다 — 창을 한 번 눌러 보세요"},
        {true, false, false, u"누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)"},
        {false, true, true, u"Alt+Tab · Win 키 보내기가 꺼져 있습니다 (알림 영역 설정)"},
        {false, false, false, u"Alt+Tab · Win 키 보내기가 꺼져 있습니다 (알림 영역 설정)"},
    };
    for (const Case& c : cases) {
        Menu m;
        m.config.systemKeys = c.setting;
        m.facts.keyboardHook = c.hook;
        m.facts.connected = c.connected;
        const std::vector<ViewerMenuItem> bar = m.bar();
        const ViewerMenuItem& last = bar[1].items.back();
        EXPECT_EQ(last.text, c.note) << c.setting << c.hook << c.connected;
        EXPECT_TRUE(last.grayed);
        EXPECT_EQ(last.id, 0u);
    }
}

TEST(ViewerMenu, FilePopupWithAndWithoutTheFeature) {
    Menu m;
    m.info = parsed(R"({"os":"windows","features":["files"]})");
    m.facts.session = true;
    m.facts.senderBusy = true;
    EXPECT_EQ(render(m.bar()[2]),
              u"파일\n"
              u"  파일 보내기… #1060\n"
              u"  폴더 보내기… #1070\n"
              u"  원격에서 복사한 파일 받기 #1080\n"
              u"  받은 파일 보기 #1090\n"
              u"  보내기 멈추기 #10A0\n"
              u"  -\n"
              u"  (g) 보내기: 창에 끌어다 놓아도 됩니다 → 원격 다운로드 폴더\n"
              u"  (g) 받기: 원격 탐색기에서 고르고 Ctrl+C → 여기서 받기\n");
    m.info = parsed(R"({"os":"mac"})");
    m.facts.senderBusy = false;
    EXPECT_EQ(render(m.bar()[2]),
              u"파일\n"
              u"  (g) 파일 보내기… #1060\n"
              u"  (g) 폴더 보내기… #1070\n"
              u"  (g) 원격에서 복사한 파일 받기 #1080\n"
              u"  받은 파일 보기 #1090\n"
              u"  -\n"
              u"  (g) 원격 쪽 Tavrel 를 새 판으로 바꾸면 쓸 수 있습니다\n");
    m.info = parsed(R"({"os":"mac","features":["files"]})");
    EXPECT_TRUE(hasText(m.bar(), u"받기: 원격 Finder 에서 고르고 ⌘C → 여기서 받기"));
}

TEST(ViewerMenu, ProgramPopupWaitsForWhatItNeeds) {
    Menu m;
    EXPECT_EQ(render(m.bar()[3]), u"프로그램\n  (g) 원격 정보를 기다리는 중\n");
    m.info = parsed(R"({"features":["files"]})");
    EXPECT_EQ(render(m.bar()[3]), u"프로그램\n  (g) 원격 쪽 Tavrel 를 새 판으로 바꾸면 쓸 수 있습니다\n");
    m.info = parsed(R"({"features":["apps"]})");
    EXPECT_EQ(render(m.bar()[3]), u"프로그램\n  (g) 목록을 받는 중…\n");
    m.apps = parsed("[]");
    EXPECT_EQ(render(m.bar()[3]), u"프로그램\n  (g) 목록을 받는 중…\n");
}

TEST(ViewerMenu, ProgramPopupListsWindowsAndPrograms) {
    Menu m;
    m.info = parsed(R"({"features":["apps"],"window":{"id":4294967040}})");
    const std::string longTitle(100, 'T');
    m.apps = parsed(R"({"launching":"메모장","windows":[{"id":17,"title":"문서","app":"메모장"},)"
                    R"({"id":4294967040,"title":"계산기","app":"계산기"},{"id":"x","title":")" +
                    longTitle + R"("},{"title":5}],"apps":[{"id":"a","name":"메모장"},{"id":"b"}]})");
    EXPECT_EQ(render(m.bar()[3]),
              u"프로그램\n"
              u"  (g) 메모장 여는 중…\n"
              u"  (g) 열린 창\n"
              u"  문서 — 메모장 #3000\n"
              u"  [x] 계산기 #3010\n"
              u"  " + std::u16string(80, u'T') + u"… #3020\n"
              u"   #3030\n"
              u"  -\n"
              u"  프로그램 열기\n"
              u"    메모장 #4000\n"
              u"     #4010\n"
              u"  -\n"
              u"  화면 전체 보기 #10B0\n");
    // An apps-only host cannot show the whole display; a view-only host says why input is off.
    m.info = parsed(R"({"features":["apps"],"appsOnly":true,"viewOnly":true})");
    m.apps = parsed(R"({"windows":[],"apps":[]})");
    EXPECT_EQ(render(m.bar()[3]),
              u"프로그램\n"
              u"  (g) 열린 창 없음\n"
              u"  -\n"
              u"  프로그램 열기\n"
              u"    (g) 프로그램 목록이 없습니다\n"
              u"  -\n"
              u"  (g) 보기 전용: 원격 Mac 에서 프로그램 조작을 허용하지 않았습니다\n");
}

TEST(ViewerMenu, LongListsAreCutAndProgramsGoInColumnsOfForty) {
    Menu m;
    m.info = parsed(R"({"features":["apps"]})");
    Json windows, apps;
    for (int i = 0; i < 70; ++i) windows.push(parsed(R"({"id":1,"title":"w"})"));
    for (int i = 0; i < 1030; ++i) apps.push(parsed(R"({"id":"p","name":"p"})"));
    m.apps.set("windows", windows);
    m.apps.set("apps", apps);
    const std::vector<ViewerMenuItem> bar = m.bar();
    EXPECT_NE(find(bar, ViewerId::Window + 63 * 16), nullptr);
    EXPECT_EQ(find(bar, ViewerId::Window + 64 * 16), nullptr);
    EXPECT_TRUE(find(bar, ViewerId::WholeDisplay)->checked) << "no window shown";
    EXPECT_FALSE(find(bar, ViewerId::Window)->checked);
    std::vector<size_t> columns;
    for (unsigned i = 0; i < 1030; ++i) {
        const ViewerMenuItem* p = find(bar, ViewerId::Program + 16 * i);
        if (i >= 1024) {
            EXPECT_EQ(p, nullptr);
            continue;
        }
        ASSERT_NE(p, nullptr) << i;
        if (p->newColumn) columns.push_back(i);
    }
    ASSERT_GE(columns.size(), 2u);
    EXPECT_EQ(columns[0], 40u) << "program 41 starts the second column";
    EXPECT_EQ(columns[1], 80u);
    EXPECT_EQ(columns.size(), 25u);
}

TEST(ViewerMenu, MorePopupGreysWhatTheHostLacks) {
    Menu m;
    m.config.audio = true;
    m.config.quality = 2;
    m.info = parsed(R"({"width":2560.5,"height":1600,"features":["audio","unlock"]})");
    m.facts.session = true;
    m.facts.codecName = "H.264";
    m.facts.route = "직접(구멍 뚫기)";
    m.facts.curtain = true;
    m.facts.locked = true;
    EXPECT_EQ(render(m.bar()[4]),
              u"더 보기\n"
              u"  [x] 원격 소리 듣기 #2000\n"
              u"  화질\n"
              u"    (g) 자동 #2010\n"
              u"    (g) 빠르게 (움직임 우선) #2020\n"
              u"    [x] (g) 선명하게 (글자 우선) #2030\n"
              u"  -\n"
              u"  [x] (g) 원격 화면 가리기 (앞자리 입력도 막음) #2040\n"
              u"  (g) 메시지 보내기… #2050\n"
              u"  (g) 원격 파일 둘러보기… #2060\n"
              u"  잠긴 컴퓨터 로그인… #2070\n"
              u"  -\n"
              u"  (g) 원격 컴퓨터 다시 시작… #2080\n"
              u"  (g) 원격 컴퓨터 잠자기… #2090\n"
              u"  -\n"
              u"  (g) 연결: H.264 2560×1600 · 직접(구멍 뚫기)\n");
    // Unlocked: no login item; without a session the connection note has no codec or route.
    m.facts.locked = false;
    m.facts.session = false;
    const std::vector<ViewerMenuItem> bar = m.bar();
    EXPECT_EQ(find(bar, ViewerId::LockedLogin), nullptr);
    EXPECT_EQ(bar[4].items.back().text, u"연결:  2560×1600 · ");
    EXPECT_EQ(bar.size(), 5u);
}

// ---- commands ----

struct Expected {
    unsigned id;
    MsgType type;
    const char* payloadHex;
};

TEST(ViewerCommands, ListAndSwitchIdsBecomeTheirMessages) {
    const Json apps = parsed(R"({"windows":[{"id":1},{"id":4294967040},{"id":"x"}],)"
                             R"("apps":[{"id":"Microsoft.WindowsCalculator","name":"계산기"},{"id":""},{"id":3}]})");
    const Expected cases[] = {
        {0x10B0, MsgType::FocusWindow, "00000000"},
        {0x1100, MsgType::SelectDisplay, "00"},
        {0x1130, MsgType::SelectDisplay, "03"},
        {0x113F, MsgType::SelectDisplay, "03"},  // low four bits ignored
        {0x11F0, MsgType::SelectDisplay, "0f"},
        {0x2010, MsgType::Quality, "00"},
        {0x2025, MsgType::Quality, "01"},
        {0x2030, MsgType::Quality, "02"},
        {0x2040, MsgType::CurtainSwitch, "01"},  // the host reported it down
        {0x3000, MsgType::FocusWindow, "00000001"},
        {0x3010, MsgType::FocusWindow, "ffffff00"},
        {0x3020, MsgType::FocusWindow, "00000000"},  // id not a number
        {0x33F0, MsgType::FocusWindow, "00000000"},  // beyond the list
        {0x4000, MsgType::LaunchProgram, "4d6963726f736f66742e57696e646f777343616c63756c61746f72"},
        {0x1250, MsgType::KeyCombo, "03003b00380035"},  // Windows table row 5: Ctrl+Shift+Esc
        {0x1270, MsgType::KeyCombo, "01f001"},
    };
    for (const Expected& e : cases) {
        const CommandPlan plan = planCommand(e.id, apps, false, true);
        EXPECT_TRUE(plan.handled) << std::hex << e.id;
        ASSERT_TRUE(plan.message.has_value()) << std::hex << e.id;
        EXPECT_EQ(plan.message->type, e.type) << std::hex << e.id;
        EXPECT_EQ(hexEncode(plan.message->payload), e.payloadHex) << std::hex << e.id;
    }
    EXPECT_EQ(hexEncode(planCommand(0x2040, apps, true, true).message->payload), "00") << "curtain up: lower it";
    EXPECT_EQ(hexEncode(planCommand(0x1250, apps, false, false).message->payload), "03003800370017") << "Mac row 5";
}

TEST(ViewerCommands, ProgramsNeedAnId) {
    const Json apps = parsed(R"({"apps":[{"id":"calc","name":"계산기"},{"id":"","name":"빈"},{"id":3,"name":"수"}]})");
    const CommandPlan launch = planCommand(0x4000, apps, false, true);
    EXPECT_EQ(launch.status, u"계산기 여는 중…");
    EXPECT_FALSE(launch.rebuild);
    for (unsigned id : {0x4010u, 0x4020u, 0x4030u, 0x7FF0u}) {
        const CommandPlan plan = planCommand(id, apps, false, true);
        EXPECT_TRUE(plan.handled) << std::hex << id;
        EXPECT_FALSE(plan.message.has_value()) << std::hex << id;
        EXPECT_TRUE(plan.status.empty()) << std::hex << id;
    }
    // No list at all: the defaults of a missing element.
    EXPECT_EQ(hexEncode(planCommand(0x3000, Json(), false, true).message->payload), "00000000");
    EXPECT_FALSE(planCommand(0x4000, Json(), false, true).message.has_value());
}

TEST(ViewerCommands, CombosBeyondTheTableSendNothingButAreHandled) {
    const CommandPlan mac = planCommand(0x1270, Json(), false, false);  // the Mac table has 7 rows
    EXPECT_TRUE(mac.handled);
    EXPECT_FALSE(mac.message.has_value());
    const CommandPlan combo = planCommand(0x1200, Json(), false, true);
    EXPECT_TRUE(combo.needsConnected);
    EXPECT_FALSE(combo.rebuild);
}

TEST(ViewerCommands, LocalCommandsAndSettings) {
    using A = CommandPlan::Action;
    using E = CommandPlan::Edit;
    struct Case {
        unsigned id;
        E edit;
        A action;
        bool rebuild, reconnect;
    } cases[] = {
        {0x1000, E::None, A::ToggleFullScreen, true, false},
        {0x1010, E::Retina, A::None, true, true},
        {0x1020, E::MacKeymap, A::ReleaseKeys, true, false},
        {0x1030, E::None, A::None, false, true},
        {0x1040, E::None, A::PreviousDisplay, false, false},
        {0x1050, E::None, A::NextDisplay, false, false},
        {0x1060, E::None, A::PickFiles, false, false},
        {0x1070, E::None, A::PickFolder, false, false},
        {0x1080, E::None, A::ReceiveCopied, false, false},
        {0x1090, E::None, A::ShowReceived, false, false},
        {0x10A0, E::None, A::StopSending, false, false},
        {0x2000, E::Audio, A::None, true, false},
        {0x2050, E::None, A::OpenChat, false, false},
        {0x2060, E::None, A::OpenBrowser, false, false},
        {0x2070, E::None, A::LockedLogin, false, false},
        {0x2080, E::None, A::ConfirmRestart, false, false},
        {0x2090, E::None, A::ConfirmSleep, false, false},
    };
    for (const Case& c : cases) {
        const CommandPlan plan = planCommand(c.id, Json(), false, true);
        EXPECT_TRUE(plan.handled) << std::hex << c.id;
        EXPECT_EQ(plan.edit, c.edit) << std::hex << c.id;
        EXPECT_EQ(plan.action, c.action) << std::hex << c.id;
        EXPECT_EQ(plan.rebuild, c.rebuild) << std::hex << c.id;
        EXPECT_EQ(plan.reconnect, c.reconnect) << std::hex << c.id;
        EXPECT_FALSE(plan.message.has_value()) << std::hex << c.id;
    }
    EXPECT_TRUE(planCommand(0x2000, Json(), false, true).audioToSession);
    const CommandPlan quality = planCommand(0x2030, Json(), false, true);
    EXPECT_EQ(quality.edit, E::Quality);
    EXPECT_EQ(quality.quality, 2);
    EXPECT_FALSE(quality.reconnect);
}

TEST(ViewerCommands, OtherIdsAreNotTheMenus) {
    for (unsigned id : {0u, 101u, 0x0FFFu, 0x1001u, 0x10C0u, 0x1300u, 0x2001u, 0x2100u, 0x3400u, 0x8000u, 0xFFFFu}) {
        const CommandPlan plan = planCommand(id, Json(), false, true);
        EXPECT_FALSE(plan.handled) << std::hex << id;
        EXPECT_EQ(viewerCommand(id), ViewerCommand{}) << std::hex << id;
    }
}

TEST(ViewerCommands, EveryItemOfAFullMenuIsACommand) {
    Menu m;
    m.info = parsed(std::string(R"({"os":"windows","current":0,"displays":[{},{}],"features":)") + kAllFeatures + "}");
    m.apps = parsed(R"({"windows":[{"id":1,"title":"a"}],"apps":[{"id":"x","name":"x"}]})");
    m.facts.session = true;
    m.facts.senderBusy = true;
    m.facts.locked = true;
    std::vector<unsigned> ids;
    std::function<void(const std::vector<ViewerMenuItem>&)> walk = [&](const std::vector<ViewerMenuItem>& items) {
        for (const ViewerMenuItem& i : items) {
            if (i.popup) walk(i.items);
            else if (i.id != 0) ids.push_back(i.id);
        }
    };
    walk(m.bar());
    EXPECT_EQ(ids.size(), 34u);
    for (unsigned id : ids) EXPECT_TRUE(planCommand(id, m.apps, false, true).handled) << std::hex << id;
}

}  // namespace
