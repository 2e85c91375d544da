// The dialogs through which two computers get to know each other: making this PC's pairing code,
// adding a computer from the code made on it, setting the access password, and connecting by
// access ID and password. What they decide is portable and tested natively; the Windows half
// shows them.
#pragma once

#include <functional>
#include <string>

#include "core/config/settings.h"
#include "core/util.h"
#include "host/history.h"

// The pairing-code dialog's intro, with the code's end (seconds since 1970) in local time "%H:%M".
std::wstring pairingIntro(double expiry, const LocalTimeFn& localTime);

// A pasted peer address string read into the computer to open a viewer on, with its pairing token.
enum class AddressProblem { None, Unreadable, Expired };
AddressProblem peerFromAddress(const std::string& text, double now, Peer& peer, Bytes& token);

// The computer that connectByAccessId's target (UTF-8, trimmed) names: nine digits (blanks, tabs
// and dashes between them allowed) are an access ID reached through the relay in force; anything
// else is a network address reached directly, with the default port 47800 when it names none.
// False when it is neither.
bool peerFromTarget(const std::string& target, const AppConfig& config, Peer& peer);

// NFC of a typed password as UTF-8: normalizeUtf8 on Windows.
using PasswordNormalizer = std::function<std::string(const std::wstring&)>;

// What the password dialog's two typed texts ask for. Both are compared as typed; a new password
// is normalised and must have at least 8 UTF-16 units. The typed texts are wiped whatever the
// outcome; for Store, the caller wipes `password` after use.
struct PasswordChoice {
    enum Kind { Keep, Store, Refuse };
    Kind kind = Refuse;
    std::string password;  // Store: the normalised UTF-8 password
    std::string error;     // Refuse: the message box text
};
PasswordChoice choosePassword(std::wstring& typed, std::wstring& confirmation, bool passwordStored,
                              const PasswordNormalizer& normalize);

// UTF-16 units of a UTF-8 text (a four-byte sequence is two), counted without a copy of it.
size_t utf16Units(const std::string& utf8);

// Overwrites a secret text with zeros and empties it.
void wipeTyped(std::string& text);
void wipeTyped(std::wstring& text);

#ifdef _WIN32
#include <string>

// What the dialogs use of the rest of the program. The product's own until a test replaces a
// member (UI thread only, like the dialogs).
struct PairingServices {
    std::function<void(bool on, bool notify)> setHosting;
    std::function<void(const Peer& peer, const Bytes& pairingToken, const std::string& password)> openViewer;
    std::function<bool(const std::string& password)> savePassword;
    // An information box with no owner; returns once it is closed.
    std::function<void(const std::wstring& text, const std::wstring& caption)> messageBox;
    std::function<double()> now;
    LocalTimeFn localTime;
    // This PC's peer address string with a fresh pairing code, and the code's end; throws when no
    // code can be made.
    std::function<std::string(double& expiry)> makeAddress;
};
PairingServices& pairingServices();
// The product's members.
PairingServices productPairingServices();

// The tray menu's four commands; each runs its dialog and returns when it closed.
void makeCode();
void addComputer();
void setPassword();
void connectByAccessId();
#endif
