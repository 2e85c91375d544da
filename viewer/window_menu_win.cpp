// The viewer window's menu, title and what it makes of the host's description. The trees,
// texts and decisions are viewer/menu_model.h's, viewer/title.h's and viewer/host_info.h's; this
// file builds native menus and carries the plans out.
#include "viewer/window.h"

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/text.h"
#include "host/chat.h"
#include "viewer/dialog.h"
#include "viewer/host_info.h"
#include "viewer/title.h"

namespace {

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

void ViewerWindow::updateTitle() {
    if (!session || !connected) return;
    const ClientSession::Stats stats = session->takeStats();
    TitleFacts facts;
    facts.name = titleName;
    facts.rttMs = stats.rttMs;
    facts.frames = stats.frames;
    facts.bytes = stats.bytes;
    facts.route = session->route();
    facts.keyboardHook = keyboardHookInstalled();
    facts.transferText = u16(transferText);
    facts.lockedText = u16(lockedText);
    SetWindowTextW(hwnd, wide(viewerTitle(facts, displayInfo)));
}

void ViewerWindow::remoteSize(double& width, double& height) const { ::remoteSize(displayInfo, width, height); }

MenuFacts ViewerWindow::menuFacts() const {
    MenuFacts facts;
    facts.session = session != nullptr;
    if (session) {
        facts.hostOs = session->hostOs();
        {
            std::lock_guard<std::mutex> lock(session->statsMutex);
            facts.codecName = session->codecName;
        }
        facts.route = session->route();
        facts.senderBusy = session->filesOut.busy();
    }
    facts.connected = connected;
    facts.fullScreen = fullScreen;
    facts.curtain = curtain;
    facts.locked = locked;
    facts.keyboardHook = keyboardHookInstalled();
    return facts;
}

void ViewerWindow::buildMenu() {
    HMENU bar = createViewerMenuBar(viewerMenuBar(configStore().get(), displayInfo, appList, menuFacts()));
    if (!bar) return;
    HMENU previous = menuBar;
    menuBar = bar;
    builtAppList_ = appList;
    // In full screen the new bar waits until the window leaves it.
    if (!fullScreen) SetMenu(hwnd, bar);
    if (previous) DestroyMenu(previous);
    DrawMenuBar(hwnd);
}

bool ViewerWindow::command(unsigned int id) {
    using A = CommandPlan::Action;
    using E = CommandPlan::Edit;
    const bool windowsHost = isWindowsHost(displayInfo, session != nullptr, session ? session->hostOs() : std::string());
    // A window or program is the one at its place in the list the clicked menu was built from:
    // the menu's own request for a fresh list may have replaced `appList` meanwhile.
    const CommandPlan plan = planCommand(id, openedAppList_, curtain, windowsHost);
    if (!plan.handled) return false;

    bool audio = false;
    switch (plan.edit) {
        case E::None: break;
        case E::Retina: configStore().update([](AppConfig& c) { c.retina = !c.retina; }); break;
        case E::MacKeymap: configStore().update([](AppConfig& c) { c.macKeymap = !c.macKeymap; }); break;
        case E::Audio:
            configStore().update([&audio](AppConfig& c) {
                c.audio = !c.audio;
                audio = c.audio;
            });
            break;
        case E::Quality: {
            const int quality = plan.quality;
            configStore().update([quality](AppConfig& c) { c.quality = quality; });
            break;
        }
    }

    switch (plan.action) {
        case A::None: break;
        case A::ToggleFullScreen: toggleFullScreen(); break;
        case A::PreviousDisplay: switchDisplay(-1); break;
        case A::NextDisplay: switchDisplay(+1); break;
        case A::ReleaseKeys: releaseKeys(); break;
        case A::PickFiles: pickAndSendFiles(false); break;
        case A::PickFolder: pickAndSendFiles(true); break;
        case A::ReceiveCopied: receiveCopiedFiles(); break;
        case A::ShowReceived: showReceivedFiles(); break;
        case A::StopSending:
            if (session) session->filesOut.cancel();
            break;
        case A::OpenChat: openChat(); break;
        case A::OpenBrowser: openBrowser(); break;
        case A::LockedLogin: lockedLogin(); break;
        case A::ConfirmRestart: confirmPower(1); break;
        case A::ConfirmSleep: confirmPower(2); break;
    }
    // A window closed during a dialog of the action has nothing left to send or show.
    if (closing) return true;

    if (plan.audioToSession && session) session->setAudio(audio);
    if (plan.message && session && (!plan.needsConnected || connected)) {
        session->send(plan.message->type, plan.message->payload);
        if (!plan.status.empty()) setStatus(wide(plan.status), false);
    }
    if (plan.rebuild) rebuildMenuSoon();
    if (plan.reconnect) {
        attempts = 0;
        connect();
    }
    return true;
}

void ViewerWindow::confirmPower(int kind) {
    const std::u16string question = powerQuestion(kind);
    // The box's loop may close the window: its deletion waits for the box, and it sends nothing.
    const int answer = modal([&] { return MessageBoxW(hwnd, wide(question), L"Tavrel", MB_OKCANCEL | MB_ICONQUESTION); });
    if (answer != IDOK || closing) return;
    if (kind == 1) restartUntil = uint64_t(nowNanos() + kRestartWindowNanos);
    if (session) session->send(MsgType::Power, Bytes{uint8_t(kind == 1 ? 1 : 2)});
}

void ViewerWindow::lockedLogin() {
    std::vector<Field> fields(1);
    fields[0].label = L"로그인 비밀번호";
    fields[0].password = true;
    Bytes typed;
    // Every copy of the password is overwritten, however this ends.
    struct Wipe {
        std::vector<Field>& fields;
        Bytes& typed;
        ~Wipe() {
            for (Field& f : fields) wipeSecret(f.value.data(), f.value.size() * sizeof(wchar_t));
            wipeSecret(typed.data(), typed.size());
        }
    } wipe{fields, typed};
    const bool accepted = modal([&] {
        return runDialog(L"잠긴 컴퓨터 로그인",
                         L"원격 컴퓨터의 로그인 비밀번호(또는 PIN)를 넣으세요. 화면을 깨운 뒤 넣고 Enter 를 누릅니다.",
                         fields, L"로그인", L"취소", L"", nullptr);
    });
    // A window closed meanwhile sends nothing: the person may have meant to cancel.
    if (!accepted || closing) return;
    std::string text = wideToUtf8(fields[0].value);
    typed.assign(text.begin(), text.end());
    wipeSecret(text.data(), text.size());
    if (!typed.empty() && session) session->send(MsgType::LockLogin, typed);
}

void ViewerWindow::openChat() {
    if (chat) {
        chat->show();
        return;
    }
    chat = new ChatWindow(titleName.empty() ? peer.name : titleName);
    const HWND window = hwnd;
    // Runs on the chat window's thread: the line goes to the viewer window's mailbox, and the
    // window sends it on its own thread.
    chat->send = [window, mailbox = reports()](std::string const& text) {
        auto r = std::make_unique<ViewerReport>();
        r->kind = ViewerReport::Chat;
        r->generation = 0;
        r->text = text;
        r->flag = true;
        postViewerReport(window, mailbox, std::move(r));
    };
    chat->show();
}

void ViewerWindow::applyHostInfo(Json const& info) {
    const bool first = displayInfo.isNull();
    const HostInfoStep step = hostInfoStep(info, first, session != nullptr, shownWindowId, appPickHint, fullScreen);
    displayInfo = info;
    if (step.titleName) titleName = *step.titleName;
    if (step.requestApps && session) session->send(MsgType::ListApps, Bytes());
    if (!step.wake.isNull()) {
        peer.wake = step.wake;
        // A connection by password learns the host's key only at its connect, which this message
        // may precede: without a key no registered computer is meant.
        if (!peer.key.empty()) {
            const std::string key = peer.key;
            const Json wake = step.wake;
            // Saved only when it changes: a host repeats its description often.
            AppConfig current = configStore().get();
            if (storeWakeData(current, key, wake) > 0)
                configStore().update([key, wake](AppConfig& c) { storeWakeData(c, key, wake); });
        }
    }
    rebuildMenuSoon();  // a description may arrive while a menu of the bar is open
    shownWindowId = step.shownWindowId;
    switch (step.hint) {
        case HostInfoStep::Hint::Show:
            appPickHint = true;
            setStatus(wide(kAppPickHint), false);
            return;
        case HostInfoStep::Hint::Clear:
            appPickHint = false;
            setStatus(std::wstring(), false);
            break;
        case HostInfoStep::Hint::Keep: break;
    }
    if (!step.resize) return;

    double width = 0, height = 0;
    sizingPicture(displayInfo, width, height);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    const RECT& work = monitor.rcWork;
    const int workWidth = int(work.right - work.left), workHeight = int(work.bottom - work.top);
    const UINT dpi = GetDpiForWindow(hwnd);
    const PixelSize client = viewerClientSize(width, height, workWidth, workHeight, dpi ? dpi : 96);
    RECT frame{0, 0, client.width, client.height};
    AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, menuBar != nullptr, 0, dpi ? dpi : 96);
    const int frameWidth = int(frame.right - frame.left), frameHeight = int(frame.bottom - frame.top);
    const PixelPoint at = centredIn(int(work.left), int(work.top), workWidth, workHeight, frameWidth, frameHeight);
    SetWindowPos(hwnd, nullptr, at.x, at.y, frameWidth, frameHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

void ViewerWindow::onEnterMenuLoop() {
    menuOpen = true;
    openedAppList_ = builtAppList_;  // rebuilds wait until the menu closes, the click comes after
    releaseKeys();  // the menu takes the keyboard now; nothing may stay down on the host
    if (session && hostHas("apps")) session->send(MsgType::ListApps, Bytes());
}

void ViewerWindow::onExitMenuLoop() {
    menuOpen = false;
    if (menuStale) {
        menuStale = false;
        buildMenu();
    }
}
