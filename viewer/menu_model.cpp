#include "viewer/menu_model.h"

#include <algorithm>
#include <climits>

#include "core/text.h"
#include "host/protocol/keymap.h"
#include "viewer/host_info.h"
#include "viewer/title.h"

namespace {

constexpr size_t kMaxDisplays = 16;
constexpr size_t kMaxCombos = 16;
constexpr size_t kMaxWindows = 64;
constexpr size_t kMaxPrograms = 1024;
constexpr size_t kProgramsPerColumn = 40;
constexpr size_t kWindowLabelUnits = 80;
constexpr int kQualityLevels = 3;

constexpr char16_t kNeedsNewerVersion[] = u"원격 쪽 Tavrel 를 새 판으로 바꾸면 쓸 수 있습니다";

ViewerMenuItem item(std::u16string text, unsigned id, bool grayed = false, bool checked = false) {
    ViewerMenuItem i;
    i.text = std::move(text);
    i.id = id;
    i.grayed = grayed;
    i.checked = checked;
    return i;
}

ViewerMenuItem note(std::u16string text) { return item(std::move(text), 0, true); }

ViewerMenuItem separator() {
    ViewerMenuItem i;
    i.separator = true;
    return i;
}

ViewerMenuItem popup(std::u16string text, std::vector<ViewerMenuItem> items) {
    ViewerMenuItem i;
    i.text = std::move(text);
    i.popup = true;
    i.items = std::move(items);
    return i;
}

// The text of a string member, empty for anything else.
std::u16string textOf(const Json& value) { return value.isString() ? utf8ToUtf16(value.text) : std::u16string(); }

ViewerMenuItem screenPopup(const AppConfig& config, const Json& info, bool fullScreen) {
    std::vector<ViewerMenuItem> items;
    const Json& displays = info.get("displays");
    const int64_t current = jsonInt32(info.get("current"));
    const size_t n = displays.size();
    if (n == 0) items.push_back(note(u"디스플레이 정보를 기다리는 중"));
    for (size_t i = 0; i < std::min(n, kMaxDisplays); ++i) {
        const Json& d = displays.at(i);
        std::u16string label = d.get("main").asBool() ? u"주 디스플레이" : u"디스플레이 " + decimal(int64_t(i) + 1);
        label += u"  " + decimal(jsonInt32(d.get("widthPt"))) + u"×" + decimal(jsonInt32(d.get("heightPt")));
        items.push_back(item(std::move(label), ViewerId::Display + ViewerId::kListStep * unsigned(i), false,
                             int64_t(i) == current));
    }
    items.push_back(separator());
    items.push_back(item(u"다음 디스플레이\tCtrl+Alt+Win+→", ViewerId::NextDisplay, n < 2));
    items.push_back(item(u"앞 디스플레이\tCtrl+Alt+Win+←", ViewerId::PreviousDisplay, n < 2));
    items.push_back(separator());
    items.push_back(item(u"원래 해상도로 선명하게", ViewerId::Retina, false, config.retina));
    items.push_back(item(u"전체 화면\tCtrl+Alt+Win+Enter", ViewerId::FullScreen, false, fullScreen));
    items.push_back(item(u"다시 연결", ViewerId::Reconnect));
    std::u16string title = n < 2 ? u"화면" : u"화면 " + decimal(current + 1) + u"/" + decimal(int64_t(n));
    return popup(std::move(title), std::move(items));
}

std::u16string systemKeysNote(bool systemKeys, bool hook, bool connected) {
    if (!systemKeys) return u"Alt+Tab · Win 키 보내기가 꺼져 있습니다 (알림 영역 설정)";
    if (!hook && connected) return u"시스템 단축키를 붙잡지 못했습니다 — 창을 한 번 눌러 보세요";
    return u"누르는 단축키는 모두 원격으로 갑니다 (Ctrl+Alt+Del 빼고)";
}

ViewerMenuItem keyPopup(const AppConfig& config, const Json& info, bool windowsHost, const MenuFacts& facts) {
    std::vector<ViewerMenuItem> items;
    const bool combo = hostListsFeature(info, "combo");
    const std::vector<KeyCombo>& table = keyComboTable(windowsHost);
    for (size_t i = 0; i < std::min(table.size(), kMaxCombos); ++i)
        items.push_back(item(std::u16string(table[i].label), ViewerId::Combo + ViewerId::kListStep * unsigned(i), !combo));
    if (!combo) items.push_back(note(kNeedsNewerVersion));
    items.push_back(separator());
    if (!windowsHost)
        items.push_back(item(u"PC 단축키로 Mac 다루기 (Ctrl+C → ⌘C)", ViewerId::MacKeymap, false, config.macKeymap));
    items.push_back(note(systemKeysNote(config.systemKeys, facts.keyboardHook, facts.connected)));
    return popup(u"키 보내기", std::move(items));
}

ViewerMenuItem filePopup(const Json& info, bool windowsHost, const MenuFacts& facts) {
    std::vector<ViewerMenuItem> items;
    const bool files = hostListsFeature(info, "files");
    items.push_back(item(u"파일 보내기…", ViewerId::SendFiles, !files));
    items.push_back(item(u"폴더 보내기…", ViewerId::SendFolder, !files));
    items.push_back(item(u"원격에서 복사한 파일 받기", ViewerId::ReceiveCopied, !files));
    items.push_back(item(u"받은 파일 보기", ViewerId::ShowReceived));
    if (facts.session && facts.senderBusy) items.push_back(item(u"보내기 멈추기", ViewerId::StopSending));
    items.push_back(separator());
    if (files) {
        items.push_back(note(u"보내기: 창에 끌어다 놓아도 됩니다 → 원격 다운로드 폴더"));
        items.push_back(note(windowsHost ? u"받기: 원격 탐색기에서 고르고 Ctrl+C → 여기서 받기"
                                         : u"받기: 원격 Finder 에서 고르고 ⌘C → 여기서 받기"));
    } else {
        items.push_back(note(kNeedsNewerVersion));
    }
    return popup(u"파일", std::move(items));
}

std::u16string windowLabel(const Json& window) {
    std::u16string label = textOf(window.get("title"));
    const std::u16string app = textOf(window.get("app"));
    if (!app.empty() && app != label) label += u" — " + app;
    if (label.size() > kWindowLabelUnits) label = cutUnits(label, kWindowLabelUnits) + u"…";
    return label;
}

ViewerMenuItem programPopup(const Json& info, const Json& appList) {
    std::vector<ViewerMenuItem> items;
    if (!hostListsFeature(info, "apps")) {
        items.push_back(note(info.isNull() ? u"원격 정보를 기다리는 중" : kNeedsNewerVersion));
    } else if (!appList.isObject()) {
        items.push_back(note(u"목록을 받는 중…"));
    } else {
        const uint32_t shown = windowIdOf(info.get("window").get("id"));
        const Json& launching = appList.get("launching");
        if (launching.isString() && !launching.text.empty()) items.push_back(note(textOf(launching) + u" 여는 중…"));
        const Json& windows = appList.get("windows");
        items.push_back(note(windows.size() > 0 ? u"열린 창" : u"열린 창 없음"));
        for (size_t i = 0; i < std::min(windows.size(), kMaxWindows); ++i) {
            const Json& w = windows.at(i);
            items.push_back(item(windowLabel(w), ViewerId::Window + ViewerId::kListStep * unsigned(i), false,
                                 windowIdOf(w.get("id")) == shown));
        }
        items.push_back(separator());
        std::vector<ViewerMenuItem> programs;
        const Json& apps = appList.get("apps");
        if (apps.size() == 0) programs.push_back(note(u"프로그램 목록이 없습니다"));
        for (size_t i = 0; i < std::min(apps.size(), kMaxPrograms); ++i) {
            ViewerMenuItem p = item(textOf(apps.at(i).get("name")), ViewerId::Program + ViewerId::kListStep * unsigned(i));
            p.newColumn = i > 0 && i % kProgramsPerColumn == 0;
            programs.push_back(std::move(p));
        }
        items.push_back(popup(u"프로그램 열기", std::move(programs)));
        if (!info.get("appsOnly").asBool()) {
            items.push_back(separator());
            items.push_back(item(u"화면 전체 보기", ViewerId::WholeDisplay, false, shown == 0));
        }
        if (info.get("viewOnly").asBool()) {
            items.push_back(separator());
            items.push_back(note(u"보기 전용: 원격 Mac 에서 프로그램 조작을 허용하지 않았습니다"));
        }
    }
    return popup(u"프로그램", std::move(items));
}

ViewerMenuItem morePopup(const AppConfig& config, const Json& info, const MenuFacts& facts) {
    auto lacks = [&info](std::string_view feature) { return !hostListsFeature(info, feature); };
    std::vector<ViewerMenuItem> items;
    items.push_back(item(u"원격 소리 듣기", ViewerId::Audio, lacks("audio"), config.audio));
    std::vector<ViewerMenuItem> quality;
    const char16_t* const levels[kQualityLevels] = {u"자동", u"빠르게 (움직임 우선)", u"선명하게 (글자 우선)"};
    for (int q = 0; q < kQualityLevels; ++q)
        quality.push_back(item(levels[q], ViewerId::Quality + ViewerId::kListStep * unsigned(q), lacks("quality"),
                               config.quality == q));
    items.push_back(popup(u"화질", std::move(quality)));
    items.push_back(separator());
    items.push_back(item(u"원격 화면 가리기 (앞자리 입력도 막음)", ViewerId::Curtain, lacks("curtain"), facts.curtain));
    items.push_back(item(u"메시지 보내기…", ViewerId::Chat, lacks("chat")));
    items.push_back(item(u"원격 파일 둘러보기…", ViewerId::Browse, lacks("browse")));
    if (facts.locked) items.push_back(item(u"잠긴 컴퓨터 로그인…", ViewerId::LockedLogin, lacks("unlock")));
    items.push_back(separator());
    items.push_back(item(u"원격 컴퓨터 다시 시작…", ViewerId::Restart, lacks("power")));
    items.push_back(item(u"원격 컴퓨터 잠자기…", ViewerId::Sleep, lacks("power")));
    items.push_back(separator());
    std::u16string connection = u"연결: " + utf8ToUtf16(facts.session ? facts.codecName : std::string()) + u" " +
                                decimal(jsonInt32(info.get("width"))) + u"×" + decimal(jsonInt32(info.get("height"))) +
                                u" · " + utf8ToUtf16(facts.session ? facts.route : std::string());
    items.push_back(note(std::move(connection)));
    return popup(u"더 보기", std::move(items));
}

}  // namespace

const std::vector<KeyCombo>& keyComboTable(bool windowsHost) {
    static const std::vector<KeyCombo> windows = {
        {u"시작 메뉴 (Win)", {55}},
        {u"앱 바꾸기 (Alt+Tab)", {58, 48}},
        {u"작업 보기 (Win+Tab)", {55, 48}},
        {u"바탕 화면 보기 (Win+D)", {55, 2}},
        {u"파일 탐색기 (Win+E)", {55, 14}},
        {u"작업 관리자 (Ctrl+Shift+Esc)", {59, 56, 53}},
        {u"화면 캡처 (Win+Shift+S)", {55, 56, 1}},
        {u"한/영 바꾸기", {keyHangul}},
        {u"화면 잠금 (Win+L)", {55, 37}},
    };
    static const std::vector<KeyCombo> mac = {
        {u"앱 바꾸기 (⌘Tab)", {55, 48}},
        {u"Spotlight (⌘Space)", {55, 49}},
        {u"입력 소스 바꾸기 (⌃Space)", {59, 49}},
        {u"Mission Control (⌃↑)", {59, 126}},
        {u"강제 종료 (⌥⌘Esc)", {58, 55, 53}},
        {u"화면 캡처 (⇧⌘5)", {56, 55, 23}},
        {u"화면 잠금 (⌃⌘Q)", {59, 55, 12}},
    };
    return windowsHost ? windows : mac;
}

std::vector<ViewerMenuItem> viewerMenuBar(const AppConfig& config, const Json& displayInfo, const Json& appList,
                                          const MenuFacts& facts) {
    const bool windowsHost = isWindowsHost(displayInfo, facts.session, facts.hostOs);
    std::vector<ViewerMenuItem> bar;
    bar.push_back(screenPopup(config, displayInfo, facts.fullScreen));
    bar.push_back(keyPopup(config, displayInfo, windowsHost, facts));
    bar.push_back(filePopup(displayInfo, windowsHost, facts));
    bar.push_back(programPopup(displayInfo, appList));
    bar.push_back(morePopup(config, displayInfo, facts));
    return bar;
}

ViewerCommand viewerCommand(unsigned id) {
    using K = ViewerCommand::Kind;
    struct Range {
        unsigned first;
        unsigned count;
        K kind;
    };
    static constexpr Range lists[] = {
        {ViewerId::Display, kMaxDisplays, K::Display},
        {ViewerId::Combo, kMaxCombos, K::Combo},
        {ViewerId::Quality, kQualityLevels, K::Quality},
        {ViewerId::Window, kMaxWindows, K::Window},
        {ViewerId::Program, kMaxPrograms, K::Program},
    };
    for (const Range& r : lists)
        if (id >= r.first && id < r.first + r.count * ViewerId::kListStep)
            return ViewerCommand{r.kind, (id - r.first) / ViewerId::kListStep};
    static constexpr std::pair<unsigned, K> single[] = {
        {ViewerId::FullScreen, K::FullScreen},       {ViewerId::Retina, K::Retina},
        {ViewerId::MacKeymap, K::MacKeymap},         {ViewerId::Reconnect, K::Reconnect},
        {ViewerId::PreviousDisplay, K::PreviousDisplay}, {ViewerId::NextDisplay, K::NextDisplay},
        {ViewerId::SendFiles, K::SendFiles},         {ViewerId::SendFolder, K::SendFolder},
        {ViewerId::ReceiveCopied, K::ReceiveCopied}, {ViewerId::ShowReceived, K::ShowReceived},
        {ViewerId::StopSending, K::StopSending},     {ViewerId::WholeDisplay, K::WholeDisplay},
        {ViewerId::Audio, K::Audio},                 {ViewerId::Curtain, K::Curtain},
        {ViewerId::Chat, K::Chat},                   {ViewerId::Browse, K::Browse},
        {ViewerId::LockedLogin, K::LockedLogin},     {ViewerId::Restart, K::Restart},
        {ViewerId::Sleep, K::Sleep},
    };
    for (const auto& [value, kind] : single)
        if (id == value) return ViewerCommand{kind, 0};
    return ViewerCommand{};
}

CommandPlan planCommand(unsigned id, const Json& appList, bool curtain, bool windowsHost) {
    using K = ViewerCommand::Kind;
    using A = CommandPlan::Action;
    const ViewerCommand command = viewerCommand(id);
    CommandPlan plan;
    plan.handled = command.kind != K::Unknown;
    switch (command.kind) {
        case K::Unknown: break;
        case K::FullScreen: plan.action = A::ToggleFullScreen; plan.rebuild = true; break;
        case K::Retina: plan.edit = CommandPlan::Edit::Retina; plan.rebuild = true; plan.reconnect = true; break;
        case K::MacKeymap:
            plan.edit = CommandPlan::Edit::MacKeymap;
            plan.action = A::ReleaseKeys;
            plan.rebuild = true;
            break;
        case K::Reconnect: plan.reconnect = true; break;
        case K::PreviousDisplay: plan.action = A::PreviousDisplay; break;
        case K::NextDisplay: plan.action = A::NextDisplay; break;
        case K::SendFiles: plan.action = A::PickFiles; break;
        case K::SendFolder: plan.action = A::PickFolder; break;
        case K::ReceiveCopied: plan.action = A::ReceiveCopied; break;
        case K::ShowReceived: plan.action = A::ShowReceived; break;
        case K::StopSending: plan.action = A::StopSending; break;
        case K::WholeDisplay: plan.message = OutgoingMessage{MsgType::FocusWindow, encodeU32(0)}; break;
        case K::Display:
            plan.message = OutgoingMessage{MsgType::SelectDisplay, encodeU8(uint8_t(command.index))};
            break;
        case K::Combo: {
            const std::vector<KeyCombo>& table = keyComboTable(windowsHost);
            if (command.index < table.size()) {
                plan.message = OutgoingMessage{MsgType::KeyCombo, encodeKeyCombo(table[command.index].keys)};
                plan.needsConnected = true;
            }
            break;
        }
        case K::Audio:
            plan.edit = CommandPlan::Edit::Audio;
            plan.audioToSession = true;
            plan.rebuild = true;
            break;
        case K::Quality:
            plan.edit = CommandPlan::Edit::Quality;
            plan.quality = int(command.index);
            plan.message = OutgoingMessage{MsgType::Quality, encodeU8(uint8_t(command.index))};
            plan.rebuild = true;
            break;
        case K::Curtain:
            // Relative to what the host last reported, not to the check mark the user saw.
            plan.message = OutgoingMessage{MsgType::CurtainSwitch, encodeSwitch(!curtain)};
            break;
        case K::Chat: plan.action = A::OpenChat; break;
        case K::Browse: plan.action = A::OpenBrowser; break;
        case K::LockedLogin: plan.action = A::LockedLogin; break;
        case K::Restart: plan.action = A::ConfirmRestart; break;
        case K::Sleep: plan.action = A::ConfirmSleep; break;
        case K::Window: {
            const Json& window = appList.get("windows").at(command.index);
            plan.message = OutgoingMessage{MsgType::FocusWindow, encodeU32(windowIdOf(window.get("id")))};
            break;
        }
        case K::Program: {
            const Json& program = appList.get("apps").at(command.index);
            const Json& programId = program.get("id");
            if (programId.isString() && !programId.text.empty()) {
                plan.message = OutgoingMessage{MsgType::LaunchProgram, encodeText(programId.text)};
                plan.status = textOf(program.get("name")) + u" 여는 중…";
            }
            break;
        }
    }
    return plan;
}

std::u16string powerQuestion(int kind) {
    if (kind == 1)
        return u"원격 컴퓨터를 다시 시작할까요?\n\n열린 프로그램에 끝내기를 묻습니다. 저장하지 않은 내용은 먼저 "
               u"저장하세요. 켜지면 저절로 다시 붙습니다 (원격 컴퓨터가 자동 로그인이어야 바로 붙습니다).";
    return u"원격 컴퓨터를 잠재울까요?\n\n잠든 뒤에는 같은 망의 다른 컴퓨터로 깨울 수 있습니다 (연결 › 꺼진 컴퓨터 "
           u"깨우기).";
}
