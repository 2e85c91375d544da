// The tray's pairing, password and access-ID dialogs driven as a user would, from a timer inside
// their modal loops: what they show, what the copy buttons put on the clipboard, the message boxes
// of their errors, and what they hand on. A pasted peer address string of a loopback host pairs
// with it end to end.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/menu.h"
#include "app/pairing_dialogs.h"
#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/address.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/crypto/identity.h"
#include "core/text.h"
#include "host/clipboard.h"
#include "host/server.h"
#include "support/clipboard_monitor_win.h"
#include "support/dialog_steps_win.h"
#include "support/fake_session.h"
#include "support/gui_win.h"
#include "support/message_box_win.h"
#include "support/recording_announcer.h"
#include "viewer/window.h"

namespace {

constexpr int kOk = 1, kCancel = 2, kExtra = 100, kFirstEdit = 10;

HWND dialogTitled(const wchar_t* title) { return FindWindowW(L"TavrelDialog", title); }

std::wstring clipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) text = chars;
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

// The privacy markers on the clipboard, each a DWORD: absent, or the value it holds.
struct Markers {
    std::optional<uint32_t> excludeFromMonitors, canIncludeInHistory, canUploadToCloud;
    bool operator==(const Markers&) const = default;
};
void PrintTo(const Markers& m, std::ostream* out) {
    for (const auto& v : {m.excludeFromMonitors, m.canIncludeInHistory, m.canUploadToCloud})
        *out << (v ? std::to_string(*v) : std::string("-")) << " ";
}

Markers clipboardMarkers() {
    Markers markers;
    if (!OpenClipboard(nullptr)) return markers;
    auto read = [](const wchar_t* name, std::optional<uint32_t>& value) {
        const UINT format = RegisterClipboardFormatW(name);
        if (!IsClipboardFormatAvailable(format)) return;
        value = 0xFFFFFFFF;  // there, but not a DWORD
        HANDLE data = GetClipboardData(format);
        const void* bytes = data ? GlobalLock(data) : nullptr;
        if (bytes && GlobalSize(data) >= sizeof(uint32_t)) std::memcpy(&*value, bytes, sizeof(uint32_t));
        if (bytes) GlobalUnlock(data);
    };
    read(L"ExcludeClipboardContentFromMonitorProcessing", markers.excludeFromMonitors);
    read(L"CanIncludeInClipboardHistory", markers.canIncludeInHistory);
    read(L"CanUploadToCloudClipboard", markers.canUploadToCloud);
    CloseClipboard();
    return markers;
}

void emptyClipboard() {
    if (!OpenClipboard(nullptr)) return;
    EmptyClipboard();
    CloseClipboard();
}

// What a dialog showed.
struct Shown {
    std::vector<std::wstring> statics;  // the intro first (when there is one), then the labels
    std::vector<std::wstring> edits;    // as opened
    std::vector<LONG> editStyles;
    std::wstring ok;
    bool cancel = false, extra = false;
    std::wstring cancelText, extraText;
    std::wstring clipboard;  // after the extra button, when it was pressed
    Markers markers;         // with it
};

struct Drive {
    std::vector<std::wstring> values;  // pasted into the edits in order; fewer leave the rest
    int button = kOk;
    bool pressExtra = false;
    std::string screenshot;
};

// Runs `command`, which opens the dialog `title` on this thread, and acts in it as `drive` says.
Shown runDriven(const wchar_t* title, const Drive& drive, const std::function<void()>& command, bool* done = nullptr) {
    Shown shown;
    HWND dialog = nullptr;
    ModalAction steps(dialogSteps({
        [&] {
            dialog = dialogTitled(title);
            if (!dialog) return false;
            for (HWND s : childWindows(dialog, L"Static")) shown.statics.push_back(windowText(s));
            for (int i = 0; HWND edit = GetDlgItem(dialog, kFirstEdit + i); ++i) {
                shown.edits.push_back(windowText(edit));
                shown.editStyles.push_back(GetWindowLongW(edit, GWL_STYLE));
            }
            shown.ok = windowText(GetDlgItem(dialog, kOk));
            if (HWND c = GetDlgItem(dialog, kCancel)) shown.cancel = true, shown.cancelText = windowText(c);
            if (HWND e = GetDlgItem(dialog, kExtra)) shown.extra = true, shown.extraText = windowText(e);
            for (size_t i = 0; i < drive.values.size(); ++i)
                SetWindowTextW(GetDlgItem(dialog, kFirstEdit + int(i)), drive.values[i].c_str());
            if (drive.pressExtra) {
                emptyClipboard();
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kExtra, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(dialog, kExtra)));
            }
            return true;
        },
        [&] {
            if (drive.pressExtra) {
                shown.clipboard = clipboardText();
                if (shown.clipboard.empty()) return false;
                shown.markers = clipboardMarkers();
            }
            if (!drive.screenshot.empty()) saveScreenshot(dialog, drive.screenshot);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(drive.button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, drive.button)));
            return true;
        },
    }));
    command();
    EXPECT_TRUE(steps.done()) << wideToUtf8(title);
    EXPECT_FALSE(dialogTitled(title));
    if (done) *done = steps.done();
    return shown;
}

bool hasStyle(LONG styles, LONG style) { return (styles & style) == style; }

struct Opened {
    Peer peer;
    Bytes token;
    std::string password;
};

struct Box {
    std::wstring text, caption;
    bool operator==(const Box&) const = default;
};
void PrintTo(const Box& b, std::ostream* out) { *out << wideToUtf8(b.caption) << ": " << wideToUtf8(b.text); }

class PairingDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tray().trayWindow) {
            ownWindow_ = true;
            ASSERT_TRUE(createTrayWindow(GetModuleHandleW(nullptr)));
        }
        savedServices_ = pairingServices();
        savedConfig_ = configStore().get();
        configStore().update([](AppConfig& c) {
            c.relay = {"127.0.0.1", 47999, "test-relay-secret"};  // never the built-in relay
            c.hosting = false;
            c.passwordLogin = false;
            c.hosts.clear();
        });
        PairingServices& s = pairingServices();
        s.setHosting = [this](bool on, bool notify) { hosting.push_back({on, notify}); };
        s.openViewer = [this](const Peer& p, const Bytes& t, const std::string& pw) { opened.push_back({p, t, pw}); };
        s.savePassword = [this](const std::string& pw) {
            saved.push_back(pw);
            return saveWorks;
        };
        s.messageBox = [this, real = savedServices_.messageBox](const std::wstring& text, const std::wstring& caption) {
            boxes.push_back({text, caption});
            if (showBoxes) real(text, caption);
        };
        s.now = [this] { return now; };
        s.localTime = [](int64_t, LocalTimeParts& out) {
            out.hour = 14;
            out.minute = 5;
            return true;
        };
        removeStoredPassword();
    }
    void TearDown() override {
        pairingServices() = savedServices_;
        for (const auto& w : openViewers())
            if (w->hwnd && IsWindow(w->hwnd)) PostMessageW(w->hwnd, WM_CLOSE, 0, 0);
        pumpUntil([] { return openViewers().empty(); }, 5000);
        openViewers().clear();
        removeStoredPassword();
        configStore().update([this](AppConfig& c) { c = savedConfig_; });
        if (ownWindow_) {
            DestroyWindow(tray().trayWindow);
            tray().trayWindow = nullptr;
        }
    }
    static void removeStoredPassword() { DeleteFileW((configStore().profileDir + L"\\password.bin").c_str()); }

    std::vector<std::pair<bool, bool>> hosting;
    std::vector<Opened> opened;
    std::vector<std::string> saved;
    bool saveWorks = true;
    std::vector<Box> boxes;
    bool showBoxes = false;
    double now = 1710072000;

private:
    bool ownWindow_ = false;
    PairingServices savedServices_;
    AppConfig savedConfig_;
};

std::wstring fullIntroAt1405() {
    return L"연결할 Mac · PC 의 Tavrel 에서 '연결할 컴퓨터 추가…'에 붙여 넣으세요.\n14:05 까지 한 번만 쓸 수 있습니다. 본인 "
           L"기기 사이에서만 주고받으세요.";
}

TEST_F(PairingDialogs, MakeCodeStartsHostingAndShowsAFreshCodeToCopy) {
    Drive close;
    close.pressExtra = true;
    close.screenshot = "pairing_make_code";
    const double before = nowSeconds();
    const Shown first = runDriven(L"짝 맺기 코드", close, makeCode);
    // Shown even though hosting did not start (the stand-in switch starts nothing).
    EXPECT_EQ(hosting, (std::vector<std::pair<bool, bool>>{{true, true}}));
    ASSERT_EQ(first.statics.size(), 2u);
    EXPECT_EQ(first.statics[0], fullIntroAt1405());
    EXPECT_EQ(first.statics[1], L"짝 맺기 코드");
    ASSERT_EQ(first.edits.size(), 1u);
    EXPECT_TRUE(hasStyle(first.editStyles[0], ES_MULTILINE | ES_READONLY));
    EXPECT_EQ(first.ok, L"닫기");
    EXPECT_FALSE(first.cancel);
    EXPECT_EQ(first.extraText, L"복사");
    EXPECT_EQ(first.clipboard, first.edits[0]);  // the whole string, exactly

    PeerAddress address;
    ASSERT_TRUE(parsePeerAddress(wideToUtf8(first.edits[0]), address));
    HostServer& server = HostServer::instance();
    EXPECT_EQ(address.key, base64Encode(server.deviceKey().publicKey));
    EXPECT_NEAR(address.expiry, before + 600, 5);
    Bytes firstToken;
    ASSERT_TRUE(base64Decode(address.token, firstToken));

    // With hosting on, nothing is started; the new code replaces the one shown before.
    configStore().update([](AppConfig& c) { c.hosting = true; });
    const Shown second = runDriven(L"짝 맺기 코드", Drive(), makeCode);
    EXPECT_EQ(hosting.size(), 1u);
    ASSERT_EQ(second.edits.size(), 1u);
    ASSERT_TRUE(parsePeerAddress(wideToUtf8(second.edits[0]), address));
    Bytes secondToken;
    ASSERT_TRUE(base64Decode(address.token, secondToken));
    EXPECT_NE(firstToken, secondToken);
    EXPECT_FALSE(server.pairing.check(firstToken));
    EXPECT_TRUE(server.pairing.check(secondToken));
}

// The pairing code is a secret: its copy stays out of clipboard history, the cloud clipboard and
// every clipboard monitor, the program's own sync (which hands copies to connected peers)
// included. The access ID is given out freely, and its copy is not marked.
TEST_F(PairingDialogs, TheCopiedCodeStaysOutOfHistoryAndOffEveryPeersClipboard) {
    ASSERT_TRUE(startClipboardMonitorHere());
    std::vector<Bytes> sent;
    const int listener =
        ClipboardSync::instance().addListener([&sent](const Bytes& payload) { sent.push_back(payload); });
    Drive copy;
    copy.pressExtra = true;
    const Shown code = runDriven(L"짝 맺기 코드", copy, makeCode);
    copy.button = kCancel;
    const Shown access = runDriven(L"비밀번호 접속", copy, setPassword);
    // Changes reach the listener in their order: once the access ID's is there, the code's was seen.
    EXPECT_TRUE(pumpUntil([&] { return !sent.empty(); }, 5000));
    ClipboardSync::instance().removeListener(listener);

    EXPECT_FALSE(code.clipboard.empty());
    EXPECT_EQ(code.markers, (Markers{0, 0, 0}));
    EXPECT_EQ(access.markers, Markers());
    ASSERT_EQ(sent.size(), 1u);
    Bytes expected{kClipboardText};
    const std::string accessText = wideToUtf8(access.clipboard);
    expected.insert(expected.end(), accessText.begin(), accessText.end());
    EXPECT_EQ(sent[0], expected);
}

TEST_F(PairingDialogs, MakeCodeSaysSoWhenNoCodeCanBeMade) {
    pairingServices().makeAddress = [](double&) -> std::string { throw std::runtime_error("no random bytes"); };
    makeCode();
    EXPECT_EQ(boxes, (std::vector<Box>{{L"짝 맺기 코드를 만들지 못했습니다. 잠시 후 다시 해 보세요.", L"짝 맺기 코드"}}));
    EXPECT_FALSE(dialogTitled(L"짝 맺기 코드"));
}

TEST_F(PairingDialogs, TheCodeNamesThePortTheHostListensOn) {
    const int stored = configStore().get().port;
    HostServer& server = HostServer::instance();
    ASSERT_TRUE(server.start(0, false, false, true));  // a port the settings do not name
    const int listening = server.port();
    double expiry = 0;
    const std::string text = productPairingServices().makeAddress(expiry);
    server.stop();
    ASSERT_NE(listening, stored);
    PeerAddress address;
    ASSERT_TRUE(parsePeerAddress(text, address));
    ASSERT_FALSE(address.addresses.empty());
    for (const std::string& a : address.addresses)
        EXPECT_EQ(a.substr(a.rfind(':') + 1), std::to_string(listening)) << a;
}

PeerAddress sampleAddress(double expiry) {
    PeerAddress a;
    a.name = "서재 PC";
    a.key = base64Encode(Bytes(32, 7));
    a.token = base64Encode(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    a.addresses = {"192.168.0.10:47800"};
    a.relay = {"relay.test", 47901, "비밀"};
    a.expiry = expiry;
    return a;
}

TEST_F(PairingDialogs, AddComputerOpensTheComputerOfAPastedString) {
    std::wstring text = utf8ToWide(formatPeerAddress(sampleAddress(now)));
    text.insert(20, L"\r\n");  // as mail wraps it
    Drive paste;
    paste.values = {L"  " + text + L"\r\n"};
    paste.screenshot = "pairing_add_computer";
    const Shown shown = runDriven(L"연결할 컴퓨터 추가", paste, addComputer);
    ASSERT_EQ(shown.statics.size(), 2u);
    EXPECT_EQ(shown.statics[0], L"원격 Mac · PC 의 Tavrel 에서 만든 짝 맺기 코드를 붙여 넣으세요.");
    EXPECT_EQ(shown.statics[1], L"짝 맺기 코드");
    ASSERT_EQ(shown.edits, std::vector<std::wstring>{L""});
    EXPECT_TRUE(hasStyle(shown.editStyles[0], ES_MULTILINE));
    EXPECT_FALSE(hasStyle(shown.editStyles[0], ES_READONLY));
    EXPECT_EQ(shown.ok, L"연결");
    EXPECT_EQ(shown.cancelText, L"취소");
    EXPECT_FALSE(shown.extra);
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].peer.name, "서재 PC");
    EXPECT_EQ(opened[0].peer.key, sampleAddress(now).key);
    EXPECT_EQ(opened[0].peer.addresses, sampleAddress(now).addresses);
    EXPECT_EQ(opened[0].peer.relay, sampleAddress(now).relay);
    EXPECT_EQ(opened[0].token, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(opened[0].password, "");
    EXPECT_TRUE(configStore().get().hosts.empty()) << "remembered only once connected";

    // Cancelled: nothing.
    Drive cancel;
    cancel.values = {text};
    cancel.button = kCancel;
    runDriven(L"연결할 컴퓨터 추가", cancel, addComputer);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PairingDialogs, AddComputerRefusesAnUnreadableOrExpiredStringInABox) {
    showBoxes = true;
    const std::string good = formatPeerAddress(sampleAddress(now));
    struct Case {
        std::string text;
        double now;
        const wchar_t* caption;
        const wchar_t* message;
    };
    const Case cases[] = {
        {good.substr(8), now, L"코드를 읽을 수 없습니다", L"'tavrel1:' 로 시작하는 코드 전체를 붙여 넣으세요."},
        {good, now + 1, L"만료된 코드입니다", L"원격 컴퓨터에서 새 코드를 만드세요."},
    };
    for (const Case& c : cases) {
        now = c.now;
        boxes.clear();
        MessageBoxAnswer answer(c.caption, IDOK, "pairing_add_computer_refused_" + std::to_string(int(&c - cases)));
        Drive paste;
        paste.values = {utf8ToWide(c.text)};
        runDriven(L"연결할 컴퓨터 추가", paste, addComputer);
        ASSERT_TRUE(answer.wait()) << wideToUtf8(c.caption);
        EXPECT_EQ(answer.text(), c.message);
        EXPECT_TRUE(answer.screenshotSaved());
        EXPECT_EQ(boxes, (std::vector<Box>{{c.message, c.caption}}));
    }
    EXPECT_TRUE(opened.empty());
}

TEST_F(PairingDialogs, SetPasswordShowsTheAccessIdAndRefusesADecomposedShortPassword) {
    showBoxes = true;
    const std::wstring accessId = formatAccessId(accessIdFromKey(HostServer::instance().deviceKey().publicKey));
    // 한국어 typed decomposed: 8 units as typed, 3 after composition.
    const std::wstring nfd = L"\u1112\u1161\u11AB\u1100\u116E\u11A8\u110B\u1165";
    MessageBoxAnswer answer(L"저장하지 못했습니다", IDOK, "pairing_password_refused");
    Drive typed;
    typed.values = {accessId, nfd, nfd};
    typed.pressExtra = true;
    typed.screenshot = "pairing_password";
    const Shown shown = runDriven(L"비밀번호 접속", typed, setPassword);
    ASSERT_TRUE(answer.wait());
    EXPECT_EQ(answer.text(), L"비밀번호는 8자 이상이어야 합니다.");
    ASSERT_EQ(shown.statics.size(), 4u);
    EXPECT_EQ(shown.statics[0],
              L"다른 Mac · PC 에서 접속 ID 와 비밀번호를 넣으면 짝 맺기 코드 없이 연결됩니다. 처음 연결된 기기는 '허용한 "
              L"기기'에 등록됩니다. 다른 망에서 붙으려면 양쪽에 같은 중계 서버를 설정하세요.");
    EXPECT_EQ(shown.statics[1], L"접속 ID (다른 컴퓨터에 알려 줄 번호)");
    EXPECT_EQ(shown.statics[2], L"비밀번호 (8자 이상)");  // none stored
    EXPECT_EQ(shown.statics[3], L"비밀번호 확인");
    EXPECT_EQ(shown.edits, (std::vector<std::wstring>{accessId, L"", L""}));
    EXPECT_EQ(accessId.size(), 11u);  // three blocks of three digits
    EXPECT_TRUE(hasStyle(shown.editStyles[0], ES_READONLY));
    EXPECT_TRUE(hasStyle(shown.editStyles[1], ES_PASSWORD));
    EXPECT_TRUE(hasStyle(shown.editStyles[2], ES_PASSWORD));
    EXPECT_EQ(shown.ok, L"켜기 · 저장");
    EXPECT_EQ(shown.cancelText, L"취소");
    EXPECT_EQ(shown.extraText, L"접속 ID 복사");
    EXPECT_EQ(shown.clipboard, accessId);
    EXPECT_TRUE(saved.empty());
    EXPECT_TRUE(hosting.empty());
    EXPECT_FALSE(configStore().get().passwordLogin);
}

TEST_F(PairingDialogs, SetPasswordStoresOrKeepsThePasswordAndTurnsAccessOn) {
    struct Case {
        const char* name;
        bool storedBefore, hostingOn, saveWorks;
        std::wstring typed, confirmation;
        std::vector<std::string> saved;
        std::wstring error;  // empty: access turned on
    };
    const Case cases[] = {
        {"new password, hosting off", false, false, true, L"새비밀번호1234", L"새비밀번호1234", {"새비밀번호1234"}, L""},
        {"kept, hosting on: restarted quietly", true, true, true, L"", L"", {}, L""},
        {"kept, hosting off", true, false, true, L"", L"", {}, L""},
        {"none stored, none typed", false, true, true, L"", L"", {}, L"비밀번호를 정하세요."},
        {"only the confirmation", true, true, true, L"", L"abcdefgh", {}, L"두 비밀번호가 다릅니다."},
        {"password.bin not written", false, true, false, L"abcdefgh", L"abcdefgh", {"abcdefgh"},
         L"비밀번호 파일을 쓸 수 없습니다."},
        {"seven characters", false, true, true, L"abcdefg", L"abcdefg", {}, L"비밀번호는 8자 이상이어야 합니다."},
    };
    HostServer& server = HostServer::instance();
    const std::wstring accessId = formatAccessId(accessIdFromKey(server.deviceKey().publicKey));
    for (const Case& c : cases) {
        removeStoredPassword();
        if (c.storedBefore) {
            ASSERT_TRUE(savePassword("예전 비밀번호 1234"));
        }
        // One failed login, so that a reset shows.
        configStore().update([](AppConfig& a) { a.passwordLogin = true; });
        std::string password;
        if (c.storedBefore && server.passwords.begin(password)) server.passwords.finish(false);
        wipeTyped(password);
        const int failuresBefore = server.passwords.failures();
        configStore().update([&](AppConfig& a) {
            a.passwordLogin = false;
            a.hosting = c.hostingOn;
        });
        hosting.clear();
        saved.clear();
        boxes.clear();
        saveWorks = c.saveWorks;
        Drive typed;
        typed.values = {accessId, c.typed, c.confirmation};
        const Shown shown = runDriven(L"비밀번호 접속", typed, setPassword);
        ASSERT_EQ(shown.statics.size(), 4u) << c.name;
        EXPECT_EQ(shown.statics[2], c.storedBefore ? L"새 비밀번호 (바꾸지 않으려면 비워 둠)" : L"비밀번호 (8자 이상)")
            << c.name;
        EXPECT_EQ(saved, c.saved) << c.name;
        if (!c.error.empty()) {
            EXPECT_EQ(boxes, (std::vector<Box>{{c.error, L"저장하지 못했습니다"}})) << c.name;
            EXPECT_FALSE(configStore().get().passwordLogin) << c.name;
            EXPECT_TRUE(hosting.empty()) << c.name;
            continue;
        }
        EXPECT_TRUE(boxes.empty()) << c.name;
        EXPECT_TRUE(configStore().get().passwordLogin) << c.name;
        EXPECT_EQ(hosting, (std::vector<std::pair<bool, bool>>{{true, !c.hostingOn}})) << c.name;
        // A new password clears the failed logins; a kept one leaves them.
        EXPECT_EQ(server.passwords.failures(), c.saved.empty() ? failuresBefore : 0) << c.name;
    }
}

TEST_F(PairingDialogs, ConnectByAccessIdOpensTheNamedComputerWithThePassword) {
    const std::wstring nfd = L"\u1112\u1161\u11AB\u1100\u116E\u11A8\u110B\u1165";
    struct Case {
        std::wstring target, password;
        bool opens;
        std::string name, accessId, address, password8;  // address empty: through the relay
        int button;
    };
    const Case cases[] = {
        {L" 123-456-789 ", L"열려라참깨12", true, "접속 ID 123 456 789", "123456789", "", "열려라참깨12", kOk},
        {L"192.168.0.10", nfd, true, "192.168.0.10", "", "192.168.0.10:47800", "한국어", kOk},
        {L"192.168.0.10:5900", L"pw", true, "192.168.0.10:5900", "", "192.168.0.10:5900", "pw", kOk},
        {L"fe80::1", L"pw", true, "fe80::1", "", "[fe80::1]:47800", "pw", kOk},
        {L"123456789", L"", false, "", "", "", "", kOk},
        {L"   ", L"pw", false, "", "", "", "", kOk},
        {L"123456789", L"pw", false, "", "", "", "", kCancel},
    };
    for (const Case& c : cases) {
        opened.clear();
        Drive typed;
        typed.values = {c.target, c.password};
        typed.button = c.button;
        const Shown shown = runDriven(L"접속 ID · 비밀번호로 연결", typed, connectByAccessId);
        EXPECT_TRUE(boxes.empty());
        ASSERT_EQ(opened.size(), c.opens ? 1u : 0u) << wideToUtf8(c.target);
        if (!c.opens) continue;
        const Peer& p = opened[0].peer;
        EXPECT_EQ(p.name, c.name);
        EXPECT_EQ(p.accessId, c.accessId);
        EXPECT_EQ(p.key, "");
        EXPECT_TRUE(opened[0].token.empty());
        EXPECT_EQ(opened[0].password, c.password8);
        if (c.address.empty()) {
            EXPECT_TRUE(p.addresses.empty());
            EXPECT_EQ(p.relay, configStore().get().relay);
        } else {
            EXPECT_EQ(p.addresses, std::vector<std::string>{c.address});
            EXPECT_FALSE(p.relay.usable());
        }
        if (&c != cases) continue;
        ASSERT_EQ(shown.statics.size(), 3u);
        EXPECT_EQ(shown.statics[0],
                  L"원격 Mac · PC 의 Tavrel 에서 '비밀번호 접속'에 보이는 접속 ID 와 비밀번호를 넣으세요. 같은 망이면 "
                  L"주소(예: 192.168.0.10)도 됩니다.");
        EXPECT_EQ(shown.statics[1], L"접속 ID (예: 123 456 789) 또는 주소");
        EXPECT_EQ(shown.statics[2], L"비밀번호");
        EXPECT_FALSE(hasStyle(shown.editStyles[0], ES_PASSWORD));
        EXPECT_TRUE(hasStyle(shown.editStyles[1], ES_PASSWORD));
        EXPECT_EQ(shown.ok, L"연결");
        EXPECT_EQ(shown.cancelText, L"취소");
        EXPECT_FALSE(shown.extra);
    }

    // Port 0 is no address.
    showBoxes = true;
    opened.clear();
    MessageBoxAnswer answer(L"연결할 수 없습니다", IDOK, "pairing_connect_refused");
    Drive typed;
    typed.values = {L"192.168.0.10:0", L"pw"};
    typed.screenshot = "pairing_connect";
    runDriven(L"접속 ID · 비밀번호로 연결", typed, connectByAccessId);
    ASSERT_TRUE(answer.wait());
    EXPECT_EQ(answer.text(), L"접속 ID(숫자 9자리) 또는 주소를 넣으세요.");
    EXPECT_TRUE(opened.empty());
}

TEST_F(PairingDialogs, TheTrayMenuOpensEachDialog) {
    struct Case {
        unsigned id;
        const wchar_t* title;
        int button;
    };
    const Case cases[] = {
        {TrayId::AddComputer, L"연결할 컴퓨터 추가", kCancel},
        {TrayId::MakeCode, L"짝 맺기 코드", kOk},
        {TrayId::ConnectByAccessId, L"접속 ID · 비밀번호로 연결", kCancel},
        {TrayId::Password, L"비밀번호 접속", kCancel},
    };
    for (const Case& c : cases) {
        Drive close;
        close.button = c.button;
        bool done = false;
        runDriven(c.title, close, [&] { runTrayCommand(c.id, configStore().get()); }, &done);
        EXPECT_TRUE(done) << c.id;
    }
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(saved.empty());
    EXPECT_TRUE(boxes.empty());
}

// A loopback host server's own peer address string, pasted into the dialog, pairs with it through
// the product's viewer window, and the computer is registered once connected.
TEST_F(PairingDialogs, APastedCodeOfALoopbackHostPairsAndRegistersIt) {
    pairingServices().openViewer = productPairingServices().openViewer;
    TempFolder profile;
    ConfigStore store(profile.wide(), L"");
    store.update([](AppConfig& c) { c.deviceName = "루프백 호스트"; });
    FakeSessions sessions;
    auto announced = std::make_shared<RecordingAnnouncer::Record>();
    HostServer server(store, newKeyPair(), std::make_unique<RecordingAnnouncer>(announced));
    server.makeSession = sessions.factory();
    ASSERT_TRUE(server.start(0, false, false, true));

    PeerAddress address;
    address.name = "루프백 호스트";
    address.key = base64Encode(server.deviceKey().publicKey);
    address.token = base64Encode(server.pairing.renew(PairingCode::kLifetimeSeconds));
    address.addresses = {"127.0.0.1:" + std::to_string(server.port())};
    address.expiry = nowSeconds() + PairingCode::kLifetimeSeconds;
    now = nowSeconds();
    Drive paste;
    paste.values = {utf8ToWide(formatPeerAddress(address))};
    runDriven(L"연결할 컴퓨터 추가", paste, addComputer);
    ASSERT_EQ(openViewers().size(), 1u);
    const auto registered = [&] {
        for (const Peer& p : configStore().get().hosts)
            if (p.key == address.key) return true;
        return false;
    };
    ASSERT_TRUE(pumpUntil(registered, 15000));
    saveScreenshot(openViewers().back()->hwnd, "pairing_paired_viewer");
    int listed = 0;
    for (const Peer& p : configStore().get().hosts) {
        if (p.key != address.key) continue;
        ++listed;
        EXPECT_EQ(p.name, "루프백 호스트");
        EXPECT_GT(p.added, 0);
        EXPECT_EQ(p.added, p.lastConnected);
    }
    EXPECT_EQ(listed, 1);
    // The host took the code and now allows this PC.
    const AppConfig hostSide = store.get();
    ASSERT_EQ(hostSide.allowed.size(), 1u);
    EXPECT_EQ(hostSide.allowed[0].key, base64Encode(HostServer::instance().deviceKey().publicKey));
    EXPECT_EQ(sessions.count(), 1u);
    closeViewerSessions();
    server.stop();
}

}  // namespace
