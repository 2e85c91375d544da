// ViewerWindow: the viewer's top-level window for one registered (or about to be registered)
// computer. It shows the host's picture in a video child, a status line with a reconnect button
// over it and the menu bar; it owns the current ClientSession and turns what the session's threads
// report into window state. Everything here runs on the UI thread except the connect thread and
// the session callbacks, which only post messages to the window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/json.h"
#include "core/util.h"
#include "host/protocol/shortcut.h"
#include "viewer/file_commands.h"
#include "viewer/input.h"
#include "viewer/menu_model.h"
#include "viewer/session.h"
#include "viewer/window_model.h"

class ChatWindow;
class BrowseWindow;

// Private messages of the "TavrelViewer" window. None carries a pointer: any program on the desktop
// can post them. What the session's threads and the chat window report waits in the window's
// mailbox (ViewerReport, tagged with the connect it belongs to).
// A key the low-level hook took for the window: wParam the virtual key, lParam the scan code in
// bits 0-7, extended in bit 8, down in bit 9. Carries no payload.
constexpr UINT WM_VIEWER_HOOK_KEY = WM_APP + 15;
// Reports wait in the window's mailbox; this wakes the window to take them. Carries no payload.
constexpr UINT WM_VIEWER_REPORTS = WM_APP + 16;

// Id of the reconnect button.
constexpr int kReconnectButtonId = 101;
// The timer that takes a transfer's result off the status line again.
constexpr UINT_PTR kTransferTimer = 4;

// What the file commands use of the shell; empty members take the system's (the pickers and
// ShellExecuteW). Tests put recorders in and shorten how long a result stays.
struct FileCommandServices {
    std::function<std::vector<std::wstring>(HWND owner)> pickFiles;    // empty when cancelled
    std::function<std::vector<std::wstring>(HWND owner)> pickFolders;  // empty when cancelled
    std::function<void(HWND owner, const ShellCall& call)> shellExecute;
    unsigned resultMs = 12000;  // a transfer result stays ahead of the title this long
};

class ViewerWindow {
public:
    HWND hwnd = nullptr;
    std::function<void(Peer const&)> onPeer;
    std::function<void(ViewerWindow*)> onClosed;
    bool autoReconnect = false;
    std::string lastError;
    Json displayInfo;
    Json appList;
    ChatWindow* chat = nullptr;
    BrowseWindow* browser = nullptr;
    bool curtain = false;
    bool locked = false;
    uint64_t restartUntil = 0;
    bool menuOpen = false;
    bool menuStale = false;
    Peer peer;
    std::vector<unsigned char> token;
    std::string password;
    KeyPair deviceKey;
    HWND video = nullptr;
    HWND statusLine = nullptr;
    HWND reconnectButton = nullptr;
    std::shared_ptr<ClientSession> session;
    HCURSOR remoteCursor = nullptr;
    ShortcutTranslator shortcuts{true};
    ViewerInput input{shortcuts};
    bool fullScreen = false;
    WINDOWPLACEMENT savedPlacement{};
    LONG_PTR savedStyle = 0;
    bool closing = false;
    bool connected = false;
    int attempts = 0;
    std::string titleName;
    int32_t lastViewWidth = 0;
    int32_t lastViewHeight = 0;
    std::wstring transferText;
    std::wstring lockedText;
    std::wstring lastReceivedPath;
    HMENU menuBar = nullptr;
    uint32_t shownWindowId = 0;
    bool appPickHint = false;

    // How long the window waits before an automatic reconnect; tests shorten it.
    ReconnectTiming reconnectTiming;
    // What sessions use of the world; empty members take the product's own. A new window starts
    // from the process-wide default, which tests replace.
    SessionServices sessionServices;
    static SessionServices& defaultServices();

    ViewerWindow(Peer peer, std::vector<unsigned char> token, std::string password);
    ~ViewerWindow();
    ViewerWindow(const ViewerWindow&) = delete;
    ViewerWindow& operator=(const ViewerWindow&) = delete;

    void show();
    void connect();
    LRESULT handleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void layout();
    void setStatus(std::wstring text, bool showButton);

    // Modal loops that the window runs (dialogs, message boxes, pickers, popup menus) dispatch
    // messages that may close it. While one runs, its deletion waits: `onClosed` is called when the
    // last one has returned.
    void enterModal();
    void leaveModal();
    int modalCalls() const { return modalCalls_; }
    // The connect whose reports the window takes now.
    uint64_t generation() const { return gate_.current(); }
    // Where the window's reports wait, for postViewerReport.
    const std::shared_ptr<ReportMailbox>& reports() const { return mailbox_; }
    template <typename F>
    auto modal(F&& call) {
        struct Scope {
            ViewerWindow& window;
            ~Scope() { window.leaveModal(); }
        };
        enterModal();
        Scope scope{*this};
        return call();
    }
    // The window's handle is gone and nothing of it runs any more: the object may be deleted.
    bool deletable() const { return destroyed_ && modalCalls_ == 0; }
    // The removal found a modal call running after all: the window reports again once it returns.
    void removalDeferred() { closedReported_ = false; }

    // ---- host facts ----
    bool hostHas(char const* name) const;

    // ---- title ----
    void updateTitle();
    void remoteSize(double& width, double& height) const;

    // ---- file commands ----
    FileCommandServices fileServices;
    // The gate of every file transfer: true when one may start now; against a host without file
    // transfer the result line shows `oldHostText`.
    bool fileCommandMayRun(const char* oldHostText);
    void sendFiles(std::vector<std::wstring> paths);
    void pickAndSendFiles(bool folders);
    void receiveCopiedFiles();
    void showReceivedFiles();
    void openBrowser();
    void setTransferText(std::string text);
    void showTransferResult(std::string text, std::wstring path);

    // ---- mouse and keyboard ----
    LRESULT handleVideoMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void sendWheel(bool horizontal, int delta);
    void installKeyboardHook();
    void setKeyboardHook(bool on);
    void forwardKey(uint16_t scan, bool extended, uint32_t vk, bool down, bool repeat);
    void releaseKeys();
    void toggleFullScreen();
    void switchDisplay(int delta);
    // A key the hook took and posted: its repeat is computed here, on the window's time.
    void hookKey(WPARAM wParam, LPARAM lParam);
    // Whether some viewer window's low-level keyboard hook is installed.
    static bool keyboardHookInstalled();
    // What the menu depends on of the window's state now.
    MenuFacts menuFacts() const;

    // ---- menu and commands ----
    void buildMenu();
    bool command(unsigned int id);
    void confirmPower(int kind);
    void lockedLogin();
    void openChat();

    // ---- host information ----
    void applyHostInfo(Json const& info);

    // What input decisions need of the window's state now.
    InputFacts inputFacts() const;

private:
    // ---- handleMessage's handlers; one that returns bool returns true when it took the message
    // (the window procedure returns 0) and false when the default procedure gets it as well ----
    void onReportsWaiting();
    void onActivate(WPARAM wParam);                      // window_input_win.cpp
    bool onKey(UINT msg, WPARAM wParam, LPARAM lParam);  // window_input_win.cpp
    bool onSysCommand(WPARAM wParam);
    bool onCommand(WPARAM wParam);
    void onEnterMenuLoop();                              // window_menu_win.cpp
    void onExitMenuLoop();                               // window_menu_win.cpp
    void onDropFiles(WPARAM wParam);                     // window_files_win.cpp
    LRESULT onStatusLineColor(WPARAM wParam);
    bool onTimer(WPARAM id);

    void apply(ViewerReport& report);
    void onConnected(const Json& host);
    void connectFailed(const std::string& error);
    void ended(const std::string& reason);
    void reportViewSize();
    void applyCursor(const std::vector<unsigned char>& payload);
    void applyLocked(bool on);
    void rebuildMenuSoon();
    void installPosters(ClientSession& s);
    void closeWindow();
    void destroyed();
    void reportClosed();

    // The program list the menu bar was built from, and the one of the bar that was last opened,
    // against which its clicks are resolved.
    Json builtAppList_;
    Json openedAppList_;
    ReportGate gate_;
    // Shared with the posters of the window's sessions, which may outlive it.
    std::shared_ptr<ReportMailbox> mailbox_ = std::make_shared<ReportMailbox>();
    int modalCalls_ = 0;
    bool destroyed_ = false;
    bool closedReported_ = false;
    HFONT font_ = nullptr;
};

// Any thread: leaves a report in a window's mailbox and wakes the window unless a wake is on its
// way. Never touches the window's object, which may be gone.
void postViewerReport(HWND window, const std::shared_ptr<ReportMailbox>& mailbox,
                      std::unique_ptr<ViewerReport> report);

LRESULT CALLBACK viewerWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK videoWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
