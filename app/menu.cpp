#include "app/menu.h"

#include <algorithm>
#include <cstdio>

#include "core/text.h"
#include "core/util.h"
#include "net/framed.h"

namespace {

// The system's local-time conversion gives up beyond the year 3000; clamping first also keeps any
// stored number a valid integer.
constexpr int64_t kLatestTime = 32503680000;
constexpr char kExampleRelay[] = "relay.example.net";

std::u16string u16(const std::string& utf8) { return utf8ToUtf16(utf8); }

std::u16string twoDigits(int a, int b, const char* format) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, a, b);
    return u16(buf);
}

bool localParts(const LocalTimeFn& localTime, double seconds, LocalTimeParts& out) {
    return localTime && localTime(checkedTrunc(seconds, 0, kLatestTime, 0), out);
}

MenuNode item(std::u16string text, unsigned id, bool checked = false, bool grayed = false) {
    MenuNode n;
    n.text = std::move(text);
    n.id = id;
    n.checked = checked;
    n.grayed = grayed;
    return n;
}

MenuNode separator() {
    MenuNode n;
    n.separator = true;
    return n;
}

MenuNode popup(std::u16string text, std::vector<MenuNode> items) {
    MenuNode n;
    n.text = std::move(text);
    n.popup = true;
    n.items = std::move(items);
    return n;
}

std::u16string statusLine(const AppConfig& config, const TrayFacts& facts) {
    std::u16string text;
    if (facts.session)
        text = u16(facts.sessionPeer) + u" 이(가) 제어 중";
    else if (facts.serverRunning)
        text = u"대기 중 · 포트 " + decimal(facts.port);
    else
        text = u"대기하지 못함";
    if (effectiveRelay(config).usable()) text += facts.relayConnected ? u" · 중계 연결됨" : u" · 중계 연결 안 됨";
    if (!config.stayAwake)
        text += u" · 잠자기 막기 꺼짐";
    else if (!facts.keepAwakeActive)
        text += u" · 배터리라 잠자기 막지 않음";
    return text;
}

std::u16string accessIdLine(const TrayFacts& facts, const LocalTimeFn& localTime) {
    if (facts.passwordAccessOn && facts.lockedUntil != 0) {
        std::u16string text = u"비밀번호 " + decimal(facts.passwordFailures) + u"번 틀림 · ";
        LocalTimeParts until;
        if (localParts(localTime, facts.lockedUntil, until))
            text += twoDigits(until.hour, until.minute, "%02d:%02d") + u" 까지 ";
        return text + u"잠김";
    }
    // The access ID is nine ASCII digits in three blocks.
    const std::wstring id = formatAccessId(facts.accessId);
    return u"접속 ID " + std::u16string(id.begin(), id.end()) +
           (facts.passwordAccessOn ? u" · 비밀번호 접속 켜짐" : u" · 비밀번호 접속 꺼짐");
}

bool hasWakeData(const Peer& peer) { return peer.wake.isArray() && peer.wake.size() > 0; }

std::vector<MenuNode> connectPopup(const AppConfig& config, const TrayFacts& facts, const PresenceOf& presence,
                                   const LocalTimeFn& localTime) {
    std::vector<MenuNode> items;
    if (config.hosts.empty()) items.push_back(item(u"등록한 컴퓨터 없음", 0, false, true));
    for (size_t i = 0; i < config.hosts.size(); ++i) {
        const Peer& peer = config.hosts[i];
        double seen = 0;
        const int state = presence ? presence(peer, &seen) : 0;
        items.push_back(item(hostMenuText(peer, state, seen, facts.now, localTime), TrayId::OpenHost + unsigned(i)));
    }
    if (std::any_of(config.hosts.begin(), config.hosts.end(), hasWakeData)) {
        std::vector<MenuNode> wake;
        for (size_t i = 0; i < config.hosts.size(); ++i)
            if (hasWakeData(config.hosts[i]))
                wake.push_back(item(u16(config.hosts[i].name) + u" 깨우기", TrayId::WakeHost + unsigned(i)));
        items.push_back(separator());
        items.push_back(popup(u"꺼진 컴퓨터 깨우기", std::move(wake)));
    }
    return items;
}

std::vector<MenuNode> removePopup(const std::vector<Peer>& list, unsigned base) {
    std::vector<MenuNode> items;
    for (size_t i = 0; i < list.size(); ++i) items.push_back(item(u16(list[i].name) + u" 지우기…", base + unsigned(i)));
    return items;
}

std::vector<MenuNode> settingsPopup(const AppConfig& config, const TrayFacts& facts) {
    return {
        item(u"원래 해상도로 선명하게", TrayId::Retina, config.retina),
        item(u"Alt+Tab · Win 키도 보내기", TrayId::SystemKeys, config.systemKeys),
        item(u"클립보드 함께 쓰기", TrayId::Clipboard, config.clipboard),
        item(u"Mac 을 PC 단축키로 다루기", TrayId::MacKeymap, config.macKeymap),
        item(u"파일 주고받기 (받은 파일은 다운로드 폴더)", TrayId::FileTransfer, config.fileTransfer),
        item(u"원격 제어 허용 중 잠자기 막기", TrayId::StayAwake, config.stayAwake),
        item(u"배터리일 때도 잠자기 막기", TrayId::StayAwakeOnBattery, !config.stayAwakeACOnly, !config.stayAwake),
        separator(),
        item(u"이 PC 이름 바꾸기…", TrayId::Rename),
        item(u"포트 바꾸기…", TrayId::Port),
        item(u"중계 서버…", TrayId::Relay),
        item(u"로그인할 때 열기", TrayId::RunAtLogin, facts.runValueSet),
        item(u"누가 연결하면 알림", TrayId::NotifyConnect, config.notifyConnect),
        item(u"잠긴 화면에서도 로그인 허용 (관리자 권한)", TrayId::LockService, facts.lockServiceInstalled),
        item(u"기록 보기", TrayId::ShowLog),
    };
}

}  // namespace

std::u16string lastSeenText(double seen, double now, const LocalTimeFn& localTime) {
    LocalTimeParts t, today;
    if (!localParts(localTime, seen, t) || !localParts(localTime, now, today)) return std::u16string();
    const std::u16string clock = twoDigits(t.hour, t.minute, "%02d:%02d");
    if (t.year == today.year && t.yearDay == today.yearDay) return u"오늘 " + clock;
    if (t.year == today.year && t.yearDay == today.yearDay - 1) return u"어제 " + clock;
    return twoDigits(t.month, t.day, "%02d월 %02d일 ") + clock;
}

std::u16string hostMenuText(const Peer& peer, int presence, double lastSeen, double now,
                            const LocalTimeFn& localTime) {
    std::u16string text = presence == 1 ? u"● " : u"○ ";
    text += u16(peer.name);
    if (peer.os == "mac")
        text += u"  (Mac)";
    else if (peer.os == "windows")
        text += u"  (PC)";
    if (presence == 1) {
        text += u"  · 연결 가능";
    } else if (presence == 2) {
        const std::u16string when = lastSeen > 0 ? lastSeenText(lastSeen, now, localTime) : std::u16string();
        text += when.empty() ? u"  · 꺼져 있음" : u"  · 꺼져 있음 (" + when + u" 부터)";
    }
    return text;
}

std::vector<MenuNode> trayMenu(const AppConfig& config, const TrayFacts& facts, const PresenceOf& presence,
                               const LocalTimeFn& localTime) {
    std::vector<MenuNode> menu;
    menu.push_back(item(u"원격 제어 허용", TrayId::Hosting, config.hosting));
    if (config.hosting) {
        menu.push_back(item(statusLine(config, facts), 0, false, true));
        menu.push_back(item(accessIdLine(facts, localTime), TrayId::Password));
        if (facts.session) {
            menu.push_back(item(u"연결 끊기", TrayId::Disconnect));
            menu.push_back(item(u16(facts.sessionPeer) + u" 에 메시지 보내기…", TrayId::Chat));
        }
        if (facts.curtainUp) menu.push_back(item(u"화면 가리기 풀기", TrayId::LiftCurtain));
    }
    menu.push_back(item(u"접속 기록…", TrayId::History));
    menu.push_back(separator());
    menu.push_back(popup(u"연결", connectPopup(config, facts, presence, localTime)));
    menu.push_back(item(u"연결할 컴퓨터 추가…", TrayId::AddComputer));
    menu.push_back(item(u"접속 ID · 비밀번호로 연결…", TrayId::ConnectByAccessId));
    menu.push_back(separator());
    menu.push_back(item(u"짝 맺기 코드 만들기…", TrayId::MakeCode));
    menu.push_back(item(u"비밀번호 접속…", TrayId::Password));
    if (config.passwordLogin) menu.push_back(item(u"비밀번호 접속 끄기", TrayId::PasswordOff));
    menu.push_back(separator());
    if (!config.allowed.empty()) menu.push_back(popup(u"허용한 기기", removePopup(config.allowed, TrayId::RemoveAllowed)));
    if (!config.hosts.empty()) menu.push_back(popup(u"등록한 컴퓨터", removePopup(config.hosts, TrayId::RemoveHost)));
    menu.push_back(popup(u"설정", settingsPopup(config, facts)));
    menu.push_back(separator());
    menu.push_back(item(u"종료", TrayId::Quit));
    return menu;
}

TrayCommand trayCommand(unsigned id, size_t hostCount) {
    constexpr unsigned kLastTableId = 25;
    constexpr unsigned kListSize = 1000;
    if (id == 0) return {};
    if (id <= kLastTableId) return {TrayCommand::Table, id, 0};
    struct List {
        unsigned base;
        TrayCommand::Kind kind;
        bool checkedHere;
    };
    // Tested in this order.
    const List lists[] = {{TrayId::WakeHost, TrayCommand::WakeHost, true},
                          {TrayId::OpenHost, TrayCommand::OpenHost, true},
                          {TrayId::RemoveAllowed, TrayCommand::RemoveAllowed, false},
                          {TrayId::RemoveHost, TrayCommand::RemoveHost, false}};
    for (const List& l : lists) {
        if (id < l.base || id - l.base >= kListSize) continue;
        const size_t index = id - l.base;
        if (l.checkedHere && index >= hostCount) return {};
        return {l.kind, 0, index};
    }
    return {};
}

std::optional<int32_t> portFromText(const std::u16string& typed) {
    constexpr int64_t kCeiling = 1'000'000'000'000;  // far above any port; never wraps
    size_t i = 0;
    while (i < typed.size() && (typed[i] == u' ' || (typed[i] >= u'\t' && typed[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < typed.size() && (typed[i] == u'+' || typed[i] == u'-')) negative = typed[i++] == u'-';
    int64_t value = 0;
    for (; i < typed.size() && typed[i] >= u'0' && typed[i] <= u'9'; ++i)
        value = std::min(kCeiling, value * 10 + (typed[i] - u'0'));
    if (negative || value < 1024 || value > 65535) return std::nullopt;
    return int32_t(value);
}

std::optional<std::string> nameFromText(const std::string& typed) {
    std::string name = trim(typed);
    if (name.empty()) return std::nullopt;
    return name;
}

RelayDialogText relayDialogText(const RelayConfig& relay, bool builtInRelayUsable) {
    RelayDialogText out;
    out.intro = u"다른 망에 있는 컴퓨터끼리 연결할 때 씁니다. 화면 · 입력은 끝에서 끝까지 암호화되어 중계 서버는 내용을 "
                u"볼 수 없습니다. ";
    out.intro += builtInRelayUsable ? u"비우면 설치본에 들어 있는 기본 중계 서버를 씁니다." : u"비우면 쓰지 않습니다.";
    out.addressLabel = u"주소:포트 (예: " + u16(kExampleRelay) + u":47900)";
    if (relay.usable()) out.address = relay.host + ":" + std::to_string(relay.port);
    out.secret = relay.secret;
    return out;
}

RelayEdit relayEdit(const std::string& address, const std::string& secret) {
    RelayEdit edit;
    if (address.empty()) {
        edit.outcome = RelayEdit::Reset;
        return edit;
    }
    std::string host;
    int port = 0;
    if (!splitHostPort(address, host, port) || secret.empty()) return edit;
    edit.outcome = RelayEdit::Store;
    edit.relay.host = host;
    edit.relay.port = port;
    edit.relay.secret = secret;
    return edit;
}

std::u16string removeQuestion(bool fromAllowed, const std::string& name) {
    if (fromAllowed) return u"'" + u16(name) + u"' 이(가) 더 이상 이 PC 를 제어할 수 없게 됩니다.";
    return u"'" + u16(name) + u"' 을(를) 목록에서 지웁니다. 다시 연결하려면 새 짝 맺기 코드가 필요합니다.";
}

size_t removeMatching(std::vector<Peer>& list, const Peer& entry, size_t index) {
    if (!entry.key.empty())
        return std::erase_if(list, [&](const Peer& p) { return p.key == entry.key; });
    // Without a key every other keyless entry would match too: only this one goes.
    const auto same = [&](const Peer& p) { return p.key.empty() && p.name == entry.name; };
    auto it = index < list.size() && same(list[index]) ? list.begin() + std::ptrdiff_t(index)
                                                        : std::find_if(list.begin(), list.end(), same);
    if (it == list.end()) return 0;
    list.erase(it);
    return 1;
}
