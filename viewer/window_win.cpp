#include "viewer/window.h"

#include <shellapi.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/text.h"
#include "files/browse_window.h"
#include "host/chat.h"
#include "host/protocol/messages.h"
#include "media/cursor.h"
#include "media/mf.h"

namespace {

constexpr UINT_PTR kTitleTimer = 1;
constexpr UINT_PTR kViewSizeTimer = 2;
constexpr UINT_PTR kReconnectTimer = 3;
constexpr UINT kViewSizeDelayMs = 300;

const wchar_t* const kViewerClass = L"TavrelViewer";
const wchar_t* const kVideoClass = L"TavrelVideo";

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

void registerClasses() {
    static bool registered = false;
    if (registered) return;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW viewer{};
    viewer.cbSize = sizeof viewer;
    viewer.lpfnWndProc = DefWindowProcW;
    viewer.hInstance = instance;
    viewer.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    viewer.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    viewer.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    viewer.lpszClassName = kViewerClass;
    WNDCLASSEXW video{};
    video.cbSize = sizeof video;
    video.lpfnWndProc = DefWindowProcW;
    video.hInstance = instance;
    video.lpszClassName = kVideoClass;
    RegisterClassExW(&viewer);
    RegisterClassExW(&video);
    registered = true;
}

std::unique_ptr<ViewerReport> report(ViewerReport::Kind kind, uint64_t generation) {
    auto r = std::make_unique<ViewerReport>();
    r->kind = kind;
    r->generation = generation;
    return r;
}

HWND makeChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int width, int height) {
    return CreateWindowExW(0, cls, text, WS_CHILD | style, 0, 0, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

void postViewerReport(HWND window, const std::shared_ptr<ReportMailbox>& mailbox,
                      std::unique_ptr<ViewerReport> report) {
    if (mailbox->put(std::move(report)) && !PostMessageW(window, WM_VIEWER_REPORTS, 0, 0)) mailbox->wakeFailed();
}

ViewerWindow::ViewerWindow(Peer peerIn, std::vector<unsigned char> tokenIn, std::string passwordIn)
    : peer(std::move(peerIn)), token(std::move(tokenIn)), password(std::move(passwordIn)) {
    sessionServices = defaultServices();
    deviceKey = loadDeviceKey();
    titleName = peer.name;
    registerClasses();

    HINSTANCE instance = GetModuleHandleW(nullptr);
    hwnd = CreateWindowExW(0, kViewerClass, utf8ToWide(peer.name).c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, 1280, 800, nullptr, nullptr, instance, nullptr);
    if (!hwnd) throw std::runtime_error("뷰어 창을 만들 수 없습니다");
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(viewerWndProc));

    video = makeChild(hwnd, kVideoClass, L"", 0, 0, 10, 10);
    if (video) {
        SetWindowLongPtrW(video, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrW(video, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(videoWndProc));
    }
    statusLine = makeChild(hwnd, L"STATIC", L"", SS_CENTER, 0, 10, 10);
    reconnectButton = makeChild(hwnd, L"BUTTON", L"다시 연결", 0, kReconnectButtonId, 120, 30);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        LOGFONTW face = metrics.lfMessageFont;
        face.lfHeight = face.lfHeight * 4 / 3;
        font_ = CreateFontIndirectW(&face);
    }
    if (font_) {
        SendMessageW(statusLine, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        SendMessageW(reconnectButton, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }

    // The translator's output already goes to `input`; what input produces goes to the session,
    // and its local chords come back to this window as posted commands, after the key is handled.
    input.send = [this](MsgType type, const Bytes& payload) {
        if (session) session->send(type, payload);
    };
    input.post = [this](InputCommand c) {
        switch (c) {
            case InputCommand::ToggleFullScreen: PostMessageW(hwnd, WM_SYSCOMMAND, 0x1000, 0); break;
            case InputCommand::PreviousDisplay: PostMessageW(hwnd, WM_COMMAND, ViewerId::PreviousDisplay, 0); break;
            case InputCommand::NextDisplay: PostMessageW(hwnd, WM_COMMAND, ViewerId::NextDisplay, 0); break;
        }
    };

    DragAcceptFiles(hwnd, TRUE);
    if (video) DragAcceptFiles(video, TRUE);
    buildMenu();
    layout();
}

ViewerWindow::~ViewerWindow() {
    // Normally the window is long gone; an object deleted with its window still open (at exit)
    // takes the window down without reporting, so that no message reaches a freed object.
    if (!destroyed_ && hwnd && IsWindow(hwnd)) {
        closing = true;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (video) SetWindowLongPtrW(video, GWLP_USERDATA, 0);
        setKeyboardHook(false);
        if (session) session->close();
        KillTimer(hwnd, kTitleTimer);
        DestroyWindow(hwnd);
        if (remoteCursor) DestroyCursor(remoteCursor);
        remoteCursor = nullptr;
    }
    if (menuBar && (!hwnd || !IsWindow(hwnd) || GetMenu(hwnd) != menuBar)) DestroyMenu(menuBar);
    menuBar = nullptr;
    if (font_) DeleteObject(font_);
    session.reset();
    delete browser;
    browser = nullptr;
    delete chat;
    chat = nullptr;
    wipeText(password);
}

SessionServices& ViewerWindow::defaultServices() {
    static SessionServices services;
    return services;
}

void ViewerWindow::show() {
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    SetTimer(hwnd, kTitleTimer, 1000, nullptr);
    connect();
}

void ViewerWindow::connect() {
    if (closing) return;
    connected = false;
    setStatus(autoReconnect ? wide(kReconnectingText) : wide(kConnectingText), false);
    if (session) session->close();
    KillTimer(hwnd, kReconnectTimer);

    const uint64_t generation = gate_.begin();
    auto next = std::make_shared<ClientSession>(peer, deviceKey, Bytes(token), video, password, sessionServices);
    next->clipboardSync = configStore().get().clipboard;
    session = next;
    installPosters(*next);

    RECT client{};
    GetClientRect(hwnd, &client);
    Json request = sessionRequest(configStore().get(), displayInfo, int(client.right - client.left),
                                  int(client.bottom - client.top), hasHevcDecoder());

    HWND window = hwnd;
    std::thread([next, request = std::move(request), window, generation, mailbox = mailbox_]() mutable {
        try {
            std::string route;
            Json host = next->connect(std::move(request), &route);
            logLine("연결됨: " + peerTextForLog(host.get("name").asString("")) + " (" + peerTextForLog(route) + ")");
            auto r = report(ViewerReport::Connected, generation);
            r->value = std::move(host);
            postViewerReport(window, mailbox, std::move(r));
        } catch (const std::exception& e) {
            auto r = report(ViewerReport::ConnectFailed, generation);
            r->text = e.what();
            postViewerReport(window, mailbox, std::move(r));
        }
    }).detach();
}

void ViewerWindow::installPosters(ClientSession& s) {
    const HWND window = hwnd;
    const uint64_t generation = gate_.current();
    // One report of `kind`, filled by `fill` from the callback's arguments.
    auto poster = [window, generation, mailbox = mailbox_](ViewerReport::Kind kind, auto fill) {
        return [window, generation, mailbox, kind, fill](auto&&... args) {
            auto r = report(kind, generation);
            fill(*r, std::forward<decltype(args)>(args)...);
            postViewerReport(window, mailbox, std::move(r));
        };
    };
    // The session's thread parsed it; the window takes the value as it is.
    auto json = [](ViewerReport& r, Json value) { r.value = std::move(value); };
    auto text = [](ViewerReport& r, std::string const& value) { r.text = value; };
    auto flag = [](ViewerReport& r, bool on) { r.flag = on; };
    s.onDisplayInfo = poster(ViewerReport::DisplayInfo, json);
    s.onAppList = poster(ViewerReport::AppList, json);
    s.onCursor = poster(ViewerReport::Cursor,
                        [](ViewerReport& r, std::vector<unsigned char> const& payload) { r.bytes = payload; });
    s.onNotice = poster(ViewerReport::Notice, text);
    s.onLocked = poster(ViewerReport::Locked, flag);
    s.onFirstPicture = poster(ViewerReport::FirstPicture, [](ViewerReport&) {});
    s.onEnded = poster(ViewerReport::Ended, text);
    s.onTransferStatus = poster(ViewerReport::TransferStatus, text);
    s.onTransferResult = poster(ViewerReport::TransferResult,
                                [](ViewerReport& r, std::string const& message, std::wstring const& path) {
                                    r.text = message;
                                    r.path = path;
                                });
    s.onCurtain = poster(ViewerReport::Curtain, flag);
    s.onFolderListing = poster(ViewerReport::FolderListing, json);
    s.onChat = poster(ViewerReport::Chat, text);
}

LRESULT CALLBACK viewerWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ViewerWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, msg, wParam, lParam);
    return self->handleMessage(msg, wParam, lParam);
}

LRESULT ViewerWindow::handleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_VIEWER_REPORTS:  // whoever posted it: only what waits in the mailbox is applied
            onReportsWaiting();
            return 0;
        case WM_VIEWER_HOOK_KEY:
            hookKey(wParam, lParam);
            return 0;
        case WM_SIZE:
            layout();
            return 0;
        case WM_ACTIVATE:
            onActivate(wParam);
            break;
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYDOWN:
        case WM_SYSKEYUP:
        case WM_CHAR:
        case WM_SYSCHAR:
            if (onKey(msg, wParam, lParam)) return 0;
            break;
        case WM_SYSCOMMAND:
            if (onSysCommand(wParam)) return 0;
            break;
        case WM_MOUSEWHEEL:
        case WM_MOUSEHWHEEL:
            sendWheel(msg == WM_MOUSEHWHEEL, int(short(HIWORD(wParam))));
            return 0;
        case WM_COMMAND:
            if (onCommand(wParam)) return 0;
            break;
        case WM_ENTERMENULOOP:
            onEnterMenuLoop();
            break;
        case WM_EXITMENULOOP:
            onExitMenuLoop();
            break;
        case WM_DROPFILES:
            onDropFiles(wParam);
            return 0;
        case WM_CTLCOLORSTATIC:
            return onStatusLineColor(wParam);
        case WM_TIMER:
            if (onTimer(wParam)) return 0;
            break;
        case WM_CLOSE:
            closeWindow();
            return 0;
        case WM_DESTROY:
            destroyed();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void ViewerWindow::onReportsWaiting() {
    while (std::unique_ptr<ViewerReport> r = mailbox_->take())
        for (std::unique_ptr<ViewerReport>& due : gate_.admit(std::move(r))) apply(*due);
}

bool ViewerWindow::onSysCommand(WPARAM wParam) {
    if ((wParam & 0xFFF0) == 0x1000) {  // the full-screen chord, posted by input
        toggleFullScreen();
        rebuildMenuSoon();
        return true;
    }
    // While connected, Alt belongs to the host: it does not open the menu bar.
    return (wParam & 0xFFF0) == SC_KEYMENU && connected;
}

bool ViewerWindow::onCommand(WPARAM wParam) {
    if (LOWORD(wParam) == kReconnectButtonId) {
        attempts = 0;
        connect();
        return true;
    }
    return command(LOWORD(wParam));
}

LRESULT ViewerWindow::onStatusLineColor(WPARAM wParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, RGB(230, 230, 230));
    SetBkColor(dc, RGB(0, 0, 0));
    return reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH));
}

bool ViewerWindow::onTimer(WPARAM id) {
    switch (id) {
        case kTitleTimer: updateTitle(); return true;
        case kViewSizeTimer: reportViewSize(); return true;
        case kReconnectTimer:
            KillTimer(hwnd, kReconnectTimer);
            connect();
            return true;
        case kTransferTimer: setTransferText(std::string()); return true;
        default: return false;
    }
}

void ViewerWindow::apply(ViewerReport& r) {
    switch (r.kind) {
        case ViewerReport::Connected: onConnected(r.value); break;
        case ViewerReport::ConnectFailed: connectFailed(r.text); break;
        case ViewerReport::DisplayInfo: applyHostInfo(r.value); break;
        case ViewerReport::Cursor: applyCursor(r.bytes); break;
        case ViewerReport::Notice: setStatus(utf8ToWide(r.text), false); break;
        case ViewerReport::Ended: ended(r.text); break;
        case ViewerReport::FirstPicture: setStatus(std::wstring(), false); break;
        case ViewerReport::TransferStatus: setTransferText(r.text); break;
        case ViewerReport::TransferResult: showTransferResult(r.text, r.path); break;
        case ViewerReport::Locked: applyLocked(r.flag); break;
        case ViewerReport::AppList:
            appList = std::move(r.value);
            rebuildMenuSoon();
            break;
        case ViewerReport::Chat:
            if (r.flag) {
                if (session) session->sendChat(r.text);
            } else {
                if (!chat) openChat();
                if (chat) chat->received(r.text);
            }
            break;
        case ViewerReport::FolderListing:
            if (browser) browser->applyListing(std::move(r.value));
            break;
        case ViewerReport::Curtain:
            curtain = r.flag;
            rebuildMenuSoon();
            break;
    }
}

void ViewerWindow::onConnected(const Json& host) {
    autoReconnect = true;
    attempts = 0;
    connected = true;
    lastError.clear();
    setStatus(wide(kReceivingText), false);
    const std::string hostKey = session ? session->hostKey : std::string();
    if (learnPeerFromHost(peer, token, password, host, hostKey)) {
        // The session's own copy of the password has served too.
        if (session && password.empty()) wipeText(session->password);
        if (onPeer) onPeer(peer);
    }
    if (GetForegroundWindow() == hwnd) installKeyboardHook();
}

void ViewerWindow::connectFailed(const std::string& error) {
    lastError = error;
    connected = false;
    ReconnectState state{autoReconnect, attempts, int64_t(restartUntil)};
    const ReconnectStep step = afterConnectFailed(state, nowNanos(), error, !password.empty(), reconnectTiming);
    attempts = state.attempts;
    setStatus(wide(step.status), step.button);
    if (step.retryMs > 0) SetTimer(hwnd, kReconnectTimer, UINT(step.retryMs), nullptr);
}

void ViewerWindow::ended(const std::string& reason) {
    connected = false;
    releaseKeys();
    if (closing || reason.empty()) return;
    lastError = reason;
    ReconnectState state{autoReconnect, attempts, int64_t(restartUntil)};
    const ReconnectStep step = afterSessionEnded(state, nowNanos(), reconnectTiming);
    attempts = state.attempts;
    setStatus(wide(endedStatusText(step.status, reason)), step.button);
    if (step.retryMs > 0) SetTimer(hwnd, kReconnectTimer, UINT(step.retryMs), nullptr);
}

void ViewerWindow::layout() {
    RECT client{};
    GetClientRect(hwnd, &client);
    const ViewerLayout at = viewerLayout(int(client.right - client.left), int(client.bottom - client.top));
    if (video) MoveWindow(video, at.video.x, at.video.y, at.video.width, at.video.height, TRUE);
    if (statusLine)
        MoveWindow(statusLine, at.statusLine.x, at.statusLine.y, at.statusLine.width, at.statusLine.height, TRUE);
    if (reconnectButton)
        MoveWindow(reconnectButton, at.reconnectButton.x, at.reconnectButton.y, at.reconnectButton.width,
                   at.reconnectButton.height, TRUE);
    if (session) {
        session->redraw.exchange(true);
        // Taken so that the render thread cannot miss the wake-up between its check and its wait.
        { std::lock_guard<std::mutex> lock(session->queueMutex); }
        session->queueCv.notify_all();
    }
    SetTimer(hwnd, kViewSizeTimer, kViewSizeDelayMs, nullptr);
}

void ViewerWindow::setStatus(std::wstring text, bool showButton) {
    SetWindowTextW(statusLine, text.c_str());
    ShowWindow(statusLine, text.empty() ? SW_HIDE : SW_SHOW);
    ShowWindow(reconnectButton, showButton ? SW_SHOW : SW_HIDE);
    if (video) ShowWindow(video, text.empty() ? SW_SHOW : SW_HIDE);
    layout();
}

void ViewerWindow::reportViewSize() {
    KillTimer(hwnd, kViewSizeTimer);
    RECT client{};
    if (video) GetClientRect(video, &client);
    const int width = int(client.right - client.left), height = int(client.bottom - client.top);
    if (!session || !connected) return;
    if (!viewSizeWorthReporting(lastViewWidth, lastViewHeight, width, height)) return;
    lastViewWidth = width;
    lastViewHeight = height;
    ViewSizeMsg size;
    size.width = uint32_t(width);
    size.height = uint32_t(height);
    session->send(MsgType::ViewSize, size.encode());
}

void ViewerWindow::applyCursor(const std::vector<unsigned char>& payload) {
    HCURSOR made = makeCursorFromMessage(payload, GetDpiForWindow(hwnd) / 96.0);
    if (!made) return;
    HCURSOR previous = remoteCursor;
    remoteCursor = made;
    POINT at{};
    if (GetCursorPos(&at) && WindowFromPoint(at) == video) SetCursor(made);
    if (previous) DestroyCursor(previous);
}

void ViewerWindow::applyLocked(bool on) {
    locked = on;
    const std::u16string text = lockedTitleText(on, hostHas("unlock"));
    lockedText.assign(wide(text));
    updateTitle();
    rebuildMenuSoon();
}

void ViewerWindow::rebuildMenuSoon() {
    if (menuOpen)
        menuStale = true;
    else
        buildMenu();
}

bool ViewerWindow::hostHas(char const* name) const { return hostHasFeature(displayInfo, name ? name : ""); }

InputFacts ViewerWindow::inputFacts() const {
    InputFacts facts;
    facts.session = session != nullptr;
    facts.connected = connected;
    facts.hostOs = session ? session->hostOs() : std::string();
    facts.macKeymap = configStore().get().macKeymap;
    return facts;
}

void ViewerWindow::releaseKeys() {
    const InputFacts facts = inputFacts();
    input.releaseKeys(facts);
}

void ViewerWindow::enterModal() { ++modalCalls_; }

void ViewerWindow::leaveModal() {
    if (modalCalls_ > 0) --modalCalls_;
    reportClosed();
}

void ViewerWindow::reportClosed() {
    if (!destroyed_ || modalCalls_ > 0 || closedReported_) return;
    closedReported_ = true;
    if (onClosed) onClosed(this);
}

void ViewerWindow::closeWindow() {
    closing = true;
    delete chat;
    chat = nullptr;
    if (modalCalls_ > 0 && browser) {
        // The browser's own picker may be running inside one of them: the object goes with this
        // one, once every modal call has returned.
        if (browser->hwnd) ShowWindow(browser->hwnd, SW_HIDE);
    } else {
        delete browser;
        browser = nullptr;
    }
    setKeyboardHook(false);
    if (session) session->close();
    DestroyWindow(hwnd);
}

void ViewerWindow::destroyed() {
    KillTimer(hwnd, kTitleTimer);
    if (remoteCursor) DestroyCursor(remoteCursor);
    remoteCursor = nullptr;
    // The bar attached to the window goes with it.
    if (menuBar && GetMenu(hwnd) == menuBar) menuBar = nullptr;
    destroyed_ = true;
    reportClosed();
}
