// The tray menu and the settings commands. The menu is built as a tree from a settings copy, the
// server's state, presence and local time; the chosen id is dispatched by a table; the name, port
// and relay dialogs' inputs are checked here. All of it is portable; the Windows half (below) shows
// the menu and runs the commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "host/history.h"

// One menu item; a popup holds items, a separator nothing else.
struct MenuNode {
    std::u16string text;
    unsigned id = 0;
    bool checked = false;
    bool grayed = false;
    bool separator = false;
    bool popup = false;
    std::vector<MenuNode> items;
};

// What the menu shows besides the settings copy, read when it opens.
struct TrayFacts {
    bool session = false;          // someone controls this PC
    std::string sessionPeer;       // UTF-8 name of that peer
    bool serverRunning = false;
    int port = 0;                  // the bound listening port
    bool relayConnected = false;   // the relay agent under the device ID exists and is connected
    bool keepAwakeActive = false;
    bool passwordAccessOn = false;
    int passwordFailures = 0;
    double lockedUntil = 0;        // seconds since 1970; 0 while password logins are not locked
    std::string accessId;          // this PC's nine digits
    bool curtainUp = false;
    bool runValueSet = false;      // the login Run value is there
    bool lockServiceInstalled = false;
    double now = 0;                // seconds since 1970
};

// Presence of a registered computer: 0 unknown, 1 online, 2 offline (then the last-seen time).
using PresenceOf = std::function<int(const Peer& peer, double* lastSeen)>;

std::vector<MenuNode> trayMenu(const AppConfig& config, const TrayFacts& facts, const PresenceOf& presence,
                               const LocalTimeFn& localTime);

// "오늘 %H:%M", "어제 %H:%M" or "%m월 %d일 %H:%M" of a time (seconds since 1970) seen at `now`;
// empty when either cannot be converted to local time.
std::u16string lastSeenText(double seen, double now, const LocalTimeFn& localTime);
// A registered computer's line in the "연결" popup.
std::u16string hostMenuText(const Peer& peer, int presence, double lastSeen, double now, const LocalTimeFn& localTime);

// Command ids of the menu.
namespace TrayId {
enum : unsigned {
    Hosting = 1,
    Disconnect = 2,
    AddComputer = 3,
    MakeCode = 4,
    Retina = 5,
    SystemKeys = 6,
    Clipboard = 7,
    MacKeymap = 8,
    FileTransfer = 9,
    StayAwake = 10,
    StayAwakeOnBattery = 11,
    Rename = 12,
    Port = 13,
    Relay = 14,
    RunAtLogin = 15,
    ShowLog = 16,
    Quit = 17,
    ConnectByAccessId = 18,
    Password = 19,
    PasswordOff = 20,
    History = 21,
    Chat = 22,
    NotifyConnect = 23,
    LiftCurtain = 24,
    LockService = 25,
    OpenHost = 1000,
    RemoveAllowed = 2000,
    RemoveHost = 3000,
    WakeHost = 4000,
};
}

// What a chosen id asks for. Ids up to 25 are table commands; above, the list commands with the
// index into their list. Opening and waking check the index against the menu's copy here;
// removing checks it against a fresh copy when it runs.
struct TrayCommand {
    enum Kind { None, Table, OpenHost, RemoveAllowed, RemoveHost, WakeHost };
    Kind kind = None;
    unsigned id = 0;     // Table
    size_t index = 0;    // list commands
    bool operator==(const TrayCommand&) const = default;
};
TrayCommand trayCommand(unsigned id, size_t hostCount);

// The port dialog's text read as a decimal number the way the C library's _wtoi starts (blanks,
// a sign, digits, anything after ignored; no number is 0), but without wrapping around: a
// number too large stays too large. Only 1024 to 65535 is a port to store.
std::optional<int32_t> portFromText(const std::u16string& typed);

// The name dialog: the trimmed UTF-8 name, none when it is empty.
std::optional<std::string> nameFromText(const std::string& typed);

// The relay dialog's fields and intro for the current setting.
struct RelayDialogText {
    std::u16string intro;
    std::u16string addressLabel;
    std::string address;  // "host:port" of a complete setting, else empty
    std::string secret;
};
RelayDialogText relayDialogText(const RelayConfig& relay, bool builtInRelayUsable);
// What the relay dialog's trimmed input asks for: an empty address resets the relay whatever the
// secret says; otherwise address and secret must both be good.
struct RelayEdit {
    enum Outcome { Reset, Store, Invalid };
    Outcome outcome = Invalid;
    RelayConfig relay;
};
RelayEdit relayEdit(const std::string& address, const std::string& secret);

// The question before an allowed device or a registered computer is removed.
std::u16string removeQuestion(bool fromAllowed, const std::string& name);
// Removes `entry` from a fresh list: every entry with its key, or, for an entry without a key,
// that entry alone (the one at `index` when it is still there). Returns how many went.
size_t removeMatching(std::vector<Peer>& list, const Peer& entry, size_t index);

#ifdef _WIN32
// The server's and the tray's state as the menu shows it now.
TrayFacts currentTrayFacts();
// Runs one menu command against the configuration copy the menu was built from.
void runTrayCommand(unsigned id, const AppConfig& menuCopy);
// The switches and dialogs of the command table.
void removePeer(bool fromAllowed, size_t index);
void editRelay();
void passwordOff();
// Whether the login Run value "Tavrel" is there.
bool runValueSet();
#endif
