// macOS virtual key codes, the one table that relates them to PC keys, and the modifier flag word
// that travels with every key event.
#pragma once

#include <cstdint>
#include <set>
#include <span>

#include "core/util.h"

// Keys of Korean PC keyboards that have no Mac code of their own.
constexpr uint16_t keyHangul = 0xF001;
constexpr uint16_t keyHanja = 0xF002;

struct MacKeyRow {
    int16_t mac;        // Mac key code (the pseudo codes read back through uint16_t)
    uint16_t scan;      // PC scan code, set 1, without the 0xE0 prefix
    uint16_t extended;  // 1 when the key carries the extended prefix
    uint16_t vk;        // 0, or the Windows virtual key that stands for the key instead of its scan code
};

// All 119 rows, in table order; constant data that lives until exit.
std::span<const MacKeyRow> macKeyTable();

// The first row for the 16-bit value of `code`; false when the Mac key has no PC counterpart.
bool macKeyToPc(int code, uint16_t& scan, bool& extended, uint16_t& virtualKey);

// The Mac code of a PC key (scan code, extended flag, virtual key), or -1.
int pcKeyToMac(int scan, int extended, int virtualKey);

bool isMacModifier(int code);  // 54..63

// Flag word for an event of key `code` on the viewer: held modifiers, Caps Lock and key group.
uint64_t macModifierFlags(const std::set<uint16_t>& held, bool capsLockOn, uint16_t code);

// Whether modifier `code` is down according to a received flag word; a group bit without
// either side bit counts as the left key.
bool macModifierDown(uint16_t code, uint64_t flags);

// Fields of a key message payload.
struct KeyEvent {
    uint16_t code = 0;
    uint8_t kind = 0;  // 0 release, 1 press, 2 modifier change
    uint64_t flags = 0;
    bool repeat = false;
    bool operator==(const KeyEvent&) const = default;
};

// The 12 bytes of a key message (MsgType::Key): u16 code, u8 kind, u64 flags, u8 repeat.
Bytes encodeKeyEvent(uint16_t code, uint8_t kind, uint64_t flags, bool repeat);
// Needs 12 bytes (ProtoError "짧은 메시지" otherwise); later bytes are ignored.
KeyEvent decodeKeyEvent(ByteSpan payload);
