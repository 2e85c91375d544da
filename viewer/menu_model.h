// The viewer window's menu bar as a tree built from the window's state (the host's description
// and program list, the settings, the session), the ready-made key combinations, and what each
// command id asks the window to do. The window builds native menus from the tree and carries
// out the plans.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "core/util.h"
#include "host/protocol/messages.h"

// One menu item. A note is a greyed item with id 0; a popup holds items; a separator nothing else.
struct ViewerMenuItem {
    std::u16string text;
    unsigned id = 0;
    bool checked = false;
    bool grayed = false;
    bool separator = false;
    bool newColumn = false;  // starts a new column of a long popup
    bool popup = false;
    std::vector<ViewerMenuItem> items;
};

// Command ids; list ids step by 16 and ignore their low four bits.
namespace ViewerId {
enum : unsigned {
    FullScreen = 0x1000,
    Retina = 0x1010,
    MacKeymap = 0x1020,
    Reconnect = 0x1030,
    PreviousDisplay = 0x1040,
    NextDisplay = 0x1050,
    SendFiles = 0x1060,
    SendFolder = 0x1070,
    ReceiveCopied = 0x1080,
    ShowReceived = 0x1090,
    StopSending = 0x10A0,
    WholeDisplay = 0x10B0,
    Display = 0x1100,   // 16 displays
    Combo = 0x1200,     // 16 key combinations
    Audio = 0x2000,
    Quality = 0x2010,   // 3 levels
    Curtain = 0x2040,
    Chat = 0x2050,
    Browse = 0x2060,
    LockedLogin = 0x2070,
    Restart = 0x2080,
    Sleep = 0x2090,
    Window = 0x3000,    // 64 open windows of the host
    Program = 0x4000,   // 1024 programs of the host
};
inline constexpr unsigned kListStep = 16;
}  // namespace ViewerId

// A ready-made key combination: its menu text and the Mac key codes the host presses as one chord,
// modifiers first.
struct KeyCombo {
    std::u16string_view label;
    std::vector<uint16_t> keys;
};
// The table for a Windows host or for a Mac; built once, lives until the process ends.
const std::vector<KeyCombo>& keyComboTable(bool windowsHost);

// The window's state besides the settings, the description and the program list.
struct MenuFacts {
    bool session = false;        // the window has a session
    std::string hostOs;          // the session's host system
    std::string codecName;       // the session's video codec
    std::string route;           // the session's route label
    bool senderBusy = false;     // the session is sending files
    bool connected = false;
    bool fullScreen = false;
    bool curtain = false;        // the host reports its curtain up
    bool locked = false;         // the host reports its screen locked
    bool keyboardHook = false;   // system shortcuts are caught
};

// The bar's five popups in order: screen, keys, files, programs, more.
std::vector<ViewerMenuItem> viewerMenuBar(const AppConfig& config, const Json& displayInfo, const Json& appList,
                                          const MenuFacts& facts);

// A command id decoded: which command, and the list index of a list command.
struct ViewerCommand {
    enum Kind {
        Unknown,
        FullScreen, Retina, MacKeymap, Reconnect, PreviousDisplay, NextDisplay,
        SendFiles, SendFolder, ReceiveCopied, ShowReceived, StopSending, WholeDisplay,
        Display, Combo, Audio, Quality, Curtain, Chat, Browse, LockedLogin, Restart, Sleep,
        Window, Program,
    };
    Kind kind = Unknown;
    unsigned index = 0;
    bool operator==(const ViewerCommand&) const = default;
};
ViewerCommand viewerCommand(unsigned id);

struct OutgoingMessage {
    MsgType type = MsgType::Key;
    Bytes payload;
    bool operator==(const OutgoingMessage&) const = default;
};

// What one command asks the window for, carried out in the order of the members.
struct CommandPlan {
    bool handled = false;  // false: the id is not the menu's, default processing follows
    enum class Edit { None, Retina, MacKeymap, Audio, Quality };
    Edit edit = Edit::None;  // a settings switch to flip, or the quality to set
    int quality = 0;
    enum class Action {
        None, ToggleFullScreen, PreviousDisplay, NextDisplay, ReleaseKeys, PickFiles, PickFolder, ReceiveCopied,
        ShowReceived, StopSending, OpenChat, OpenBrowser, LockedLogin, ConfirmRestart, ConfirmSleep,
    };
    Action action = Action::None;
    bool audioToSession = false;             // the flipped sound setting goes to the session
    std::optional<OutgoingMessage> message;  // sent when the window has a session
    bool needsConnected = false;             // ... and only while it is connected
    std::u16string status;                   // the status line after the message went out
    bool rebuild = false;                    // build the menu afresh
    bool reconnect = false;                  // a new session from attempt 0
};
// `curtain`: the host's last reported curtain state; `windowsHost`: the host-type rule.
CommandPlan planCommand(unsigned id, const Json& appList, bool curtain, bool windowsHost);

// The question before the host is restarted (kind 1) or put to sleep (any other kind).
std::u16string powerQuestion(int kind);
// How long after a restart command reconnects go on without limit.
inline constexpr int64_t kRestartWindowNanos = 300'000'000'000;

#ifdef _WIN32
#include <windows.h>

// Native menus for the tree: a menu bar whose popups hold the items, built with AppendMenuW. The
// caller owns the bar (DestroyMenu destroys the popups with it). Null when the system refuses.
HMENU createViewerMenuBar(const std::vector<ViewerMenuItem>& popups);
#endif
