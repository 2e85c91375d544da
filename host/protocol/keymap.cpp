#include "host/protocol/keymap.h"

#include <array>
#include <map>

#include "core/wire.h"

namespace {

constexpr uint16_t E = 1;  // extended prefix

constexpr std::array<MacKeyRow, 119> kTable{{
    {0, 0x1E, 0, 0},     // A
    {1, 0x1F, 0, 0},     // S
    {2, 0x20, 0, 0},     // D
    {3, 0x21, 0, 0},     // F
    {4, 0x23, 0, 0},     // H
    {5, 0x22, 0, 0},     // G
    {6, 0x2C, 0, 0},     // Z
    {7, 0x2D, 0, 0},     // X
    {8, 0x2E, 0, 0},     // C
    {9, 0x2F, 0, 0},     // V
    {10, 0x56, 0, 0},    // ISO section
    {11, 0x30, 0, 0},    // B
    {12, 0x10, 0, 0},    // Q
    {13, 0x11, 0, 0},    // W
    {14, 0x12, 0, 0},    // E
    {15, 0x13, 0, 0},    // R
    {16, 0x15, 0, 0},    // Y
    {17, 0x14, 0, 0},    // T
    {18, 0x02, 0, 0},    // 1
    {19, 0x03, 0, 0},    // 2
    {20, 0x04, 0, 0},    // 3
    {21, 0x05, 0, 0},    // 4
    {22, 0x07, 0, 0},    // 6
    {23, 0x06, 0, 0},    // 5
    {24, 0x0D, 0, 0},    // Equal
    {25, 0x0A, 0, 0},    // 9
    {26, 0x08, 0, 0},    // 7
    {27, 0x0C, 0, 0},    // Minus
    {28, 0x09, 0, 0},    // 8
    {29, 0x0B, 0, 0},    // 0
    {30, 0x1B, 0, 0},    // Right bracket
    {31, 0x18, 0, 0},    // O
    {32, 0x16, 0, 0},    // U
    {33, 0x1A, 0, 0},    // Left bracket
    {34, 0x17, 0, 0},    // I
    {35, 0x19, 0, 0},    // P
    {36, 0x1C, 0, 0},    // Return
    {37, 0x26, 0, 0},    // L
    {38, 0x24, 0, 0},    // J
    {39, 0x28, 0, 0},    // Quote
    {40, 0x25, 0, 0},    // K
    {41, 0x27, 0, 0},    // Semicolon
    {42, 0x2B, 0, 0},    // Backslash
    {43, 0x33, 0, 0},    // Comma
    {44, 0x35, 0, 0},    // Slash
    {45, 0x31, 0, 0},    // N
    {46, 0x32, 0, 0},    // M
    {47, 0x34, 0, 0},    // Period
    {48, 0x0F, 0, 0},    // Tab
    {49, 0x39, 0, 0},    // Space
    {50, 0x29, 0, 0},    // Grave
    {51, 0x0E, 0, 0},    // Delete (backspace)
    {53, 0x01, 0, 0},    // Escape
    {54, 0x5C, E, 0},    // Right Command -> right Windows key
    {55, 0x5B, E, 0},    // Command -> left Windows key
    {56, 0x2A, 0, 0},    // Shift
    {57, 0x3A, 0, 0},    // Caps Lock
    {58, 0x38, 0, 0},    // Option -> Alt
    {59, 0x1D, 0, 0},    // Control
    {60, 0x36, 0, 0},    // Right Shift
    {61, 0x38, E, 0},    // Right Option -> right Alt
    {62, 0x1D, E, 0},    // Right Control
    {64, 0x68, 0, 0},    // F17
    {65, 0x53, 0, 0},    // Keypad decimal
    {67, 0x37, 0, 0},    // Keypad multiply
    {69, 0x4E, 0, 0},    // Keypad plus
    {71, 0x45, E, 0x90},  // Keypad clear -> Num Lock
    {72, 0x30, E, 0xAF},  // Volume up
    {73, 0x2E, E, 0xAE},  // Volume down
    {74, 0x20, E, 0xAD},  // Mute
    {75, 0x35, E, 0},    // Keypad divide
    {76, 0x1C, E, 0},    // Keypad enter
    {78, 0x4A, 0, 0},    // Keypad minus
    {79, 0x69, 0, 0},    // F18
    {80, 0x6A, 0, 0},    // F19
    {81, 0x59, 0, 0},    // Keypad equals
    {82, 0x52, 0, 0},    // Keypad 0
    {83, 0x4F, 0, 0},    // Keypad 1
    {84, 0x50, 0, 0},    // Keypad 2
    {85, 0x51, 0, 0},    // Keypad 3
    {86, 0x4B, 0, 0},    // Keypad 4
    {87, 0x4C, 0, 0},    // Keypad 5
    {88, 0x4D, 0, 0},    // Keypad 6
    {89, 0x47, 0, 0},    // Keypad 7
    {90, 0x6B, 0, 0},    // F20
    {91, 0x48, 0, 0},    // Keypad 8
    {92, 0x49, 0, 0},    // Keypad 9
    {93, 0x7D, 0, 0},    // JIS yen
    {94, 0x73, 0, 0},    // JIS underscore
    {95, 0x7E, 0, 0},    // JIS keypad comma
    {96, 0x3F, 0, 0},    // F5
    {97, 0x40, 0, 0},    // F6
    {98, 0x41, 0, 0},    // F7
    {99, 0x3D, 0, 0},    // F3
    {100, 0x42, 0, 0},   // F8
    {101, 0x43, 0, 0},   // F9
    {103, 0x57, 0, 0},   // F11
    {105, 0x37, E, 0x2C},  // F13 -> Print Screen
    {106, 0x67, 0, 0},   // F16
    {107, 0x46, 0, 0x91},  // F14 -> Scroll Lock
    {109, 0x44, 0, 0},   // F10
    {110, 0x5D, E, 0},   // Context menu
    {111, 0x58, 0, 0},   // F12
    {113, 0x45, 0, 0x13},  // F15 -> Pause
    {114, 0x52, E, 0},   // Help -> Insert
    {115, 0x47, E, 0},   // Home
    {116, 0x49, E, 0},   // Page up
    {117, 0x53, E, 0},   // Forward delete
    {118, 0x3E, 0, 0},   // F4
    {119, 0x4F, E, 0},   // End
    {120, 0x3C, 0, 0},   // F2
    {121, 0x51, E, 0},   // Page down
    {122, 0x3B, 0, 0},   // F1
    {123, 0x4B, E, 0},   // Left arrow
    {124, 0x4D, E, 0},   // Right arrow
    {125, 0x50, E, 0},   // Down arrow
    {126, 0x48, E, 0},   // Up arrow
    {int16_t(keyHangul), 0x72, 0, 0x15},
    {int16_t(keyHanja), 0x71, 0, 0x19},
}};
static_assert(kTable.back().mac == int16_t(keyHanja), "every row of the table is filled in");

// (extended << 16 | scan) -> Mac code for every row recognised by its scan code.
const std::map<uint32_t, int>& scanToMac() {
    static const auto* map = [] {
        auto* m = new std::map<uint32_t, int>;
        for (const MacKeyRow& row : kTable) {
            if (row.vk != 0) continue;
            (*m)[uint32_t(row.extended) * 65536u + row.scan] = uint16_t(row.mac);
        }
        return m;
    }();
    return *map;
}

}  // namespace

std::span<const MacKeyRow> macKeyTable() { return kTable; }

bool macKeyToPc(int code, uint16_t& scan, bool& extended, uint16_t& virtualKey) {
    const uint16_t want = uint16_t(code);
    for (const MacKeyRow& row : kTable) {
        if (uint16_t(row.mac) != want) continue;
        scan = row.scan;
        extended = row.extended != 0;
        virtualKey = row.vk;
        return true;
    }
    return false;
}

int pcKeyToMac(int scan, int extended, int virtualKey) {
    switch (virtualKey) {
        case 0x13: return 113;        // Pause
        case 0x15: return keyHangul;
        case 0x19: return keyHanja;
        case 0x2C: return 105;        // Print Screen
        case 0x90: return 71;         // Num Lock
        case 0x91: return 107;        // Scroll Lock
        case 0xAD: return 74;         // mute
        case 0xAE: return 73;         // volume down
        case 0xAF: return 72;         // volume up
        default: break;
    }
    const uint32_t key = uint32_t(extended & 0xFF) * 65536u + uint32_t(scan & 0xFFFF);
    const auto& map = scanToMac();
    auto it = map.find(key);
    return it == map.end() ? -1 : it->second;
}

bool isMacModifier(int code) { return code >= 54 && code <= 63; }

uint64_t macModifierFlags(const std::set<uint16_t>& held, bool capsLockOn, uint16_t code) {
    uint64_t flags = 0x100;
    for (uint16_t k : held) {
        switch (k) {
            case 55: flags |= 0x100000 | 0x8; break;
            case 54: flags |= 0x100000 | 0x10; break;
            case 56: flags |= 0x20000 | 0x2; break;
            case 60: flags |= 0x20000 | 0x4; break;
            case 59: flags |= 0x40000 | 0x1; break;
            case 62: flags |= 0x40000 | 0x2000; break;
            case 58: flags |= 0x80000 | 0x20; break;
            case 61: flags |= 0x80000 | 0x40; break;
            default: break;
        }
    }
    if (capsLockOn) flags |= 0x10000;
    if (code >= 123 && code <= 126) {
        flags |= 0x200000 | 0x800000;
    } else if (code == 114 || code == 115 || code == 116 || code == 117 || code == 119 || code == 121) {
        flags |= 0x800000;
    } else if (code >= 65 && code <= 92 && code != 72 && code != 73 && code != 74 && code != 79 &&
               code != 80 && code != 90) {
        flags |= 0x200000;
    }
    return flags;
}

bool macModifierDown(uint16_t code, uint64_t flags) {
    auto has = [flags](uint64_t bit) { return (flags & bit) != 0; };
    // The left key also counts as down when only the group bit is set.
    auto sided = [&](uint64_t left, uint64_t right, uint64_t group) {
        return has(left) || (has(group) && !has(left) && !has(right));
    };
    switch (code) {
        case 54: return has(0x10);
        case 55: return sided(0x8, 0x10, 0x100000);
        case 56: return sided(0x2, 0x4, 0x20000);
        case 57: return has(0x10000);
        case 58: return sided(0x20, 0x40, 0x80000);
        case 59: return sided(0x1, 0x2000, 0x40000);
        case 60: return has(0x4);
        case 61: return has(0x40);
        case 62: return has(0x2000);
        case 63: return has(0x800000);
        default: return false;
    }
}

Bytes encodeKeyEvent(uint16_t code, uint8_t kind, uint64_t flags, bool repeat) {
    Bytes out;
    out.reserve(12);
    ByteWriter w(out);
    w.u16(code);
    w.u8(kind);
    w.u64(flags);
    w.u8(repeat ? 1 : 0);
    return out;
}

KeyEvent decodeKeyEvent(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    KeyEvent ev;
    ev.code = r.u16();
    ev.kind = r.u8();
    ev.flags = r.u64();
    ev.repeat = r.u8() != 0;
    return ev;
}
