// The tray menu shown at the cursor, and the commands it runs.
#include "app/menu.h"

#include <windows.h>
#include <shellapi.h>

#include "app/pairing_dialogs.h"
#include "app/presence.h"
#include "app/tray.h"
#include "app/viewers.h"
#include "app/wake.h"
#include "core/config/store.h"
#include "core/text.h"
#include "core/util.h"
#include "host/curtain.h"
#include "host/history.h"
#include "host/lock.h"
#include "host/protocol/messages.h"
#include "host/server.h"
#include "viewer/dialog.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Tavrel";
constexpr DWORD kRunValueBytes = 1040;
constexpr UINT kInfoBox = MB_TOPMOST | MB_SETFOREGROUND | MB_ICONINFORMATION;

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
std::u16string units(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

HMENU makePopup(const std::vector<MenuNode>& items) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    for (const MenuNode& n : items) {
        if (n.separator) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else if (n.popup) {
            if (HMENU sub = makePopup(n.items))
                AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), wide(n.text).c_str());
        } else {
            UINT flags = MF_STRING;
            if (n.checked) flags |= MF_CHECKED;
            if (n.grayed) flags |= MF_GRAYED;
            AppendMenuW(menu, flags, n.id, wide(n.text).c_str());
        }
    }
    return menu;
}

void flip(bool AppConfig::*member) {
    configStore().update([member](AppConfig& c) { c.*member = !(c.*member); });
}

// A change the running server must see restarts it, when hosting is on.
void restartHostingIfOn() {
    if (configStore().get().hosting) setHosting(true, false);
}

void renamePc(const AppConfig& copy) {
    std::vector<Field> fields(1);
    fields[0].label = L"이름";
    fields[0].value = utf8ToWide(copy.deviceName);
    if (!runDialog(L"이 PC 이름", L"다른 컴퓨터에 보이는 이름입니다.", fields, L"저장", L"취소", L"", nullptr)) return;
    const std::optional<std::string> name = nameFromText(wideToUtf8(fields[0].value));
    if (!name) return;
    configStore().update([&](AppConfig& c) { c.deviceName = *name; });
    restartHostingIfOn();
}

void changePort(const AppConfig& copy) {
    std::vector<Field> fields(1);
    fields[0].label = L"포트";
    fields[0].value = std::to_wstring(copy.port);
    if (!runDialog(L"포트", L"원격 제어를 받을 TCP 포트입니다. 기본 47800.", fields, L"저장", L"취소", L"", nullptr))
        return;
    const std::optional<int32_t> port = portFromText(units(fields[0].value));
    if (!port) return;
    configStore().update([&](AppConfig& c) { c.port = *port; });
    restartHostingIfOn();
}

void toggleRunValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (runValueSet()) {
        RegDeleteValueW(key, kRunValue);
    } else {
        const std::wstring quoted = L"\"" + tray().exePath + L"\"";
        RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(quoted.c_str()),
                       DWORD((quoted.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void liftCurtain() {
    Curtain::instance().set(false);
    std::shared_ptr<ViewerSession> session = HostServer::instance().currentSession();
    if (!session) return;
    // Never waits for the viewer: this is the tray's thread.
    const std::string notice = "원격 PC 에서 화면 가리기를 풀었습니다";
    session->post(MsgType::Notice, Bytes(notice.begin(), notice.end()));
}

void quit() {
    closeViewerSessions();
    HostServer::instance().stop();
    TrayProcess& t = tray();
    t.notifyIcon(NIM_DELETE, &t.trayIconData);
    PostQuitMessage(0);
}

// Hosting and the sessions it holds.
void runHostingCommand(unsigned id, const AppConfig& copy, HostServer& server) {
    switch (id) {
        case TrayId::Hosting:
            setHosting(!copy.hosting, true);
            break;
        case TrayId::Disconnect:
            server.closeSessions();
            break;
        case TrayId::Chat:
            if (std::shared_ptr<ViewerSession> session = server.currentSession()) session->openChat();
            break;
        case TrayId::LiftCurtain:
            liftCurtain();
            break;
        case TrayId::Quit:
            quit();
            break;
    }
}

// Pairing with other computers and connecting to them.
void runPairingCommand(unsigned id) {
    switch (id) {
        case TrayId::AddComputer:
            addComputer();
            break;
        case TrayId::MakeCode:
            makeCode();
            break;
        case TrayId::ConnectByAccessId:
            connectByAccessId();
            break;
    }
}

// The settings the menu checks and unchecks.
void runSwitchCommand(unsigned id) {
    switch (id) {
        case TrayId::Retina:
            flip(&AppConfig::retina);
            break;
        case TrayId::SystemKeys:
            flip(&AppConfig::systemKeys);
            break;
        case TrayId::Clipboard:
            flip(&AppConfig::clipboard);
            break;
        case TrayId::MacKeymap:
            flip(&AppConfig::macKeymap);
            break;
        case TrayId::FileTransfer:
            flip(&AppConfig::fileTransfer);
            break;
        case TrayId::NotifyConnect:
            flip(&AppConfig::notifyConnect);
            break;
        case TrayId::StayAwake:
            flip(&AppConfig::stayAwake);
            updateStayAwake();
            break;
        case TrayId::StayAwakeOnBattery:
            flip(&AppConfig::stayAwakeACOnly);
            updateStayAwake();
            break;
    }
}

// The settings changed through a dialog or outside the configuration.
void runSettingCommand(unsigned id, const AppConfig& copy) {
    switch (id) {
        case TrayId::Rename:
            renamePc(copy);
            break;
        case TrayId::Port:
            changePort(copy);
            break;
        case TrayId::Relay:
            editRelay();
            break;
        case TrayId::RunAtLogin:
            toggleRunValue();
            break;
        case TrayId::Password:
            setPassword();
            break;
        case TrayId::PasswordOff:
            passwordOff();
            break;
        case TrayId::LockService:
            toggleLockService();
            break;
    }
}

// The log and the connection history.
void runRecordCommand(unsigned id) {
    switch (id) {
        case TrayId::ShowLog:
            ShellExecuteW(nullptr, L"open", L"notepad.exe", utf8ToWide(logPath()).c_str(), nullptr, SW_SHOW);
            break;
        case TrayId::History:
            MessageBoxW(tray().trayWindow, connectionHistoryText(30).c_str(), L"접속 기록 (최근 30번) — Tavrel",
                        MB_SETFOREGROUND | MB_ICONINFORMATION);
            break;
    }
}

void runTableCommand(unsigned id, const AppConfig& copy) {
    HostServer& server = HostServer::instance();
    switch (id) {
        case TrayId::Hosting:
        case TrayId::Disconnect:
        case TrayId::Chat:
        case TrayId::LiftCurtain:
        case TrayId::Quit:
            runHostingCommand(id, copy, server);
            break;
        case TrayId::AddComputer:
        case TrayId::MakeCode:
        case TrayId::ConnectByAccessId:
            runPairingCommand(id);
            break;
        case TrayId::Retina:
        case TrayId::SystemKeys:
        case TrayId::Clipboard:
        case TrayId::MacKeymap:
        case TrayId::FileTransfer:
        case TrayId::NotifyConnect:
        case TrayId::StayAwake:
        case TrayId::StayAwakeOnBattery:
            runSwitchCommand(id);
            break;
        case TrayId::Rename:
        case TrayId::Port:
        case TrayId::Relay:
        case TrayId::RunAtLogin:
        case TrayId::Password:
        case TrayId::PasswordOff:
        case TrayId::LockService:
            runSettingCommand(id, copy);
            break;
        case TrayId::ShowLog:
        case TrayId::History:
            runRecordCommand(id);
            break;
    }
}

}  // namespace

TrayFacts currentTrayFacts() {
    HostServer& server = HostServer::instance();
    TrayFacts facts;
    if (std::shared_ptr<ViewerSession> session = server.currentSession()) {
        facts.session = true;
        facts.sessionPeer = session->peerName();
    }
    facts.serverRunning = server.running();
    facts.port = server.port();
    facts.relayConnected = server.relayAgent() && server.relayAgent()->connected();
    facts.keepAwakeActive = tray().keepAwakeActive;
    facts.passwordAccessOn = server.passwordAccessOn();
    facts.passwordFailures = server.passwords.failures();
    facts.lockedUntil = server.passwords.lockedUntil();
    facts.accessId = server.accessId();
    facts.curtainUp = Curtain::instance().active.load();
    facts.runValueSet = runValueSet();
    facts.lockServiceInstalled = lockServiceInstalled();
    facts.now = nowSeconds();
    return facts;
}

void showMenu() {
    refreshPresence();  // the menu shows the previous poll's result
    const AppConfig copy = configStore().get();
    HMENU menu = makePopup(trayMenu(copy, currentTrayFacts(), presenceOf, systemLocalTime));
    if (!menu) return;
    TrayProcess& t = tray();
    POINT at{};
    GetCursorPos(&at);
    SetForegroundWindow(t.trayWindow);
    const UINT chosen = UINT(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0,
                                            t.trayWindow, nullptr));
    DestroyMenu(menu);
    PostMessageW(t.trayWindow, WM_NULL, 0, 0);  // lets the menu close when the user clicks elsewhere
    runTrayCommand(chosen, copy);
}

void runTrayCommand(unsigned id, const AppConfig& menuCopy) {
    const TrayCommand command = trayCommand(id, menuCopy.hosts.size());
    switch (command.kind) {
        case TrayCommand::None:
            break;
        case TrayCommand::Table:
            runTableCommand(command.id, menuCopy);
            break;
        case TrayCommand::OpenHost:
            try {
                openViewer(menuCopy.hosts[command.index], Bytes(), std::string());
            } catch (const std::exception& e) {
                // Nothing may leave a window procedure; the window was not made.
                logLine(e.what());
            }
            break;
        case TrayCommand::RemoveAllowed:
            removePeer(true, command.index);
            break;
        case TrayCommand::RemoveHost:
            removePeer(false, command.index);
            break;
        case TrayCommand::WakeHost:
            wakeHost(menuCopy.hosts[command.index]);
            break;
    }
}

void removePeer(bool fromAllowed, size_t index) {
    const AppConfig copy = configStore().get();
    const std::vector<Peer>& list = fromAllowed ? copy.allowed : copy.hosts;
    if (index >= list.size()) return;
    const Peer entry = list[index];
    if (MessageBoxW(nullptr, wide(removeQuestion(fromAllowed, entry.name)).c_str(), L"지울까요?",
                    MB_OKCANCEL | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST) != IDOK)
        return;
    configStore().update([&](AppConfig& c) { removeMatching(fromAllowed ? c.allowed : c.hosts, entry, index); });
    if (!fromAllowed || entry.key.empty()) return;
    // The device may no longer control this PC: its session ends at once.
    std::shared_ptr<ViewerSession> session = HostServer::instance().currentSession();
    if (session && session->peerKey() == entry.key) session->close();
}

void editRelay() {
    const AppConfig copy = configStore().get();
    const RelayDialogText text = relayDialogText(copy.relay, defaultRelay().usable());
    std::vector<Field> fields(2);
    fields[0].label = wide(text.addressLabel);
    fields[0].value = utf8ToWide(text.address);
    fields[1].label = L"중계 서버 비밀값";
    fields[1].value = utf8ToWide(text.secret);
    fields[1].password = true;
    if (!runDialog(L"중계 서버", wide(text.intro), fields, L"저장", L"취소", L"", nullptr)) return;
    const RelayEdit edit = relayEdit(trim(wideToUtf8(fields[0].value)), trim(wideToUtf8(fields[1].value)));
    if (edit.outcome == RelayEdit::Invalid) {
        MessageBoxW(nullptr, L"주소:포트 와 비밀값을 모두 넣으세요.", L"저장하지 못했습니다", kInfoBox);
        return;
    }
    configStore().update([&](AppConfig& c) { c.relay = edit.relay; });
    restartHostingIfOn();
}

void passwordOff() {
    configStore().update([](AppConfig& c) { c.passwordLogin = false; });
    logLine("비밀번호 접속 끔");
    restartHostingIfOn();
}

bool runValueSet() {
    wchar_t buffer[kRunValueBytes / sizeof(wchar_t)] = {};
    DWORD size = kRunValueBytes;
    return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS;
}
