// The tray application's process: one per profile, a hidden window that owns the notification-area
// icon, the icon's picture and tip for the program's state, balloons, and keeping the PC awake while
// it is offered for remote control. The decisions and texts are portable and tested natively; the
// Windows half (below) applies them and is the one place where other threads hand work to the UI
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/config/settings.h"

// Names that carry the profile suffix ("-work" for "--profile work", empty without a profile).
struct ProcessNames {
    std::wstring logFile;      // the log's file name inside the log folder
    std::wstring mutex;        // held while this profile's process runs; the suffix case-folded
    std::wstring formerMutex;  // held by the program under its former name
};
ProcessNames processNames(const std::wstring& suffix);

// The start-up hint is for someone who neither offers this PC nor has a computer to reach.
bool wantsStartHint(const AppConfig& config);

// What a power broadcast asks of the tray. Resume: reconnect the relay agents, then re-evaluate
// keep-awake; PowerSource: only re-evaluate keep-awake.
enum class PowerAction { None, Resume, PowerSource };
PowerAction powerAction(unsigned event);

enum class TrayState { Idle, Hosting, Controlled };

struct TrayIconModel {
    TrayState state = TrayState::Idle;
    char16_t glyph = 0;  // in the icon fonts
    std::u16string tip;
};
// The state's glyph in the icon fonts.
char16_t trayGlyph(TrayState state);
// The icon for the current state: a session means being controlled, whatever the switch says.
TrayIconModel trayIconModel(bool session, const std::string& peerName, bool hosting);

// Whether the peer that controls this PC is announced now. `last` is the name announced last: the
// same name while it is still shown gives nothing; a redraw without a session forgets it, so the
// same peer is announced again when it next connects.
bool announceController(std::string& last, bool session, const std::string& peerName);

// Balloon and log texts of the notices (peer names and route labels are UTF-8).
std::u16string controllerBalloonText(const std::string& peerName);
std::u16string connectedNoticeText(const std::string& peerName, const std::string& route);
std::u16string lockoutNoticeText(int failures);
std::string lockoutLogLine(int failures);

// Keep-awake: whether to take, give up or leave the request. `powerRead` tells whether the power
// status could be read, `acLine` is its AC line status (0 battery, 1 mains, 255 unknown) and
// `active` whether the request is in force now.
enum class StayAwakeStep { None, Hold, Release };
StayAwakeStep stayAwakeStep(const AppConfig& config, bool powerRead, uint8_t acLine, bool active);

// Turns a picture drawn white on black (top-down BGRA) into the icon's premultiplied pixels: the
// green byte is the coverage, which becomes a white glyph for a dark taskbar and a black one for a
// light taskbar.
void recolourIcon(uint8_t* bgra, size_t pixelCount, bool lightTheme);

// How many units of `text` fit in `limit` UTF-16 units without splitting a surrogate pair.
template <class Unit>
size_t utf16CutLength(const std::basic_string<Unit>& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    if (limit == 0) return 0;
    const auto last = static_cast<uint32_t>(text[limit - 1]);
    return last >= 0xD800 && last <= 0xDBFF ? limit - 1 : limit;
}

// The state's shape for a PC without the icon fonts: a screen on a stand, in outline (idle), with a
// dot in the middle (hosting) or filled (being controlled). Rectangles are half-open, in pixels of
// a square icon of `size`.
struct IconRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const IconRect&) const = default;
};
struct IconShape {
    std::vector<IconRect> fills;  // filled white
    IconRect dot;                 // an ellipse filled white; empty when right <= left
};
IconShape iconShape(TrayState state, int size);

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <functional>

#include "core/wake_queue.h"

constexpr UINT WM_TRAY_NOTIFY = WM_APP + 100;  // the icon's events
constexpr UINT WM_TRAY_REDRAW = WM_APP + 101;  // the server's state changed
constexpr UINT WM_TRAY_CALL = WM_APP + 102;    // calls wait in the tray's queue; carries nothing

// Calls that may wait for the UI thread at once; more are refused until it has taken some.
constexpr size_t kTrayCallLimit = 4096;

// Process-wide state of the tray application. Made on first use and never destroyed: detached
// threads may post to the window until the process has ended.
struct TrayProcess {
    HWND trayWindow = nullptr;  // written once before any thread that posts to it exists
    NOTIFYICONDATAW trayIconData{};
    std::wstring exePath;
    std::string lastController;  // UTF-8
    bool keepAwakeActive = false;
    UINT taskbarCreatedMessage = 0;
    // Work other threads hand to the UI thread, run in the order it was handed over.
    WakeQueue<std::function<void()>> calls{kTrayCallLimit};
    // Every call to the notification area goes through here, so tests can watch the calls.
    BOOL(WINAPI* notifyIcon)(DWORD message, PNOTIFYICONDATAW data) = Shell_NotifyIconW;
};
TrayProcess& tray();

LRESULT CALLBACK trayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Registers the window class "TavrelTray" and makes the hidden tray window.
HWND createTrayWindow(HINSTANCE instance);
// Fills the icon record for the tray window, adds the icon without a picture and asks for the
// current version of the icon's events.
void addTrayIcon();
// Installs the server's state, connection and lockout callbacks, replacing whatever was there.
void installServerCallbacks();

// Hands `call` to the UI thread, which runs it once and frees it. False when it could not be
// handed over (no tray window, or too many calls wait); the callable is freed then.
bool postTrayCall(std::function<void()> call);

// UI thread only.
void updateTrayIcon();
void showBalloon(const std::wstring& title, const std::wstring& text);
void updateStayAwake();
// Turns hosting on (notify: with the firewall hint) or off and redraws.
void setHosting(bool on, bool notify);
// The tray menu, opened at the cursor.
void showMenu();
// The icon's picture for a state, at the small icon size of the system.
HICON makeTrayIcon(TrayState state, bool lightTheme);

// Replaces the login Run value of the former name by this program's own, holding the quoted
// `exePath`; only without a profile. True when it moved the value.
bool migrateRunValue(const std::wstring& suffix, const std::wstring& exePath);
#endif
