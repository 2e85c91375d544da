#include <gtest/gtest.h>

#include <set>

#include "core/wire.h"
#include "host/protocol/keymap.h"
#include "support/short_message.h"

namespace {

TEST(MacKeyTable, HoldsEveryMacKeyExceptTheTenWithoutRow) {
    auto table = macKeyTable();
    ASSERT_EQ(table.size(), 119u);
    std::set<int> codes;
    for (const MacKeyRow& row : table) EXPECT_TRUE(codes.insert(uint16_t(row.mac)).second) << row.mac;
    const std::set<int> missing{52, 63, 66, 68, 70, 77, 102, 104, 108, 112};
    for (int code = 0; code <= 126; ++code) EXPECT_EQ(codes.count(code), missing.count(code) ? 0u : 1u) << code;
    EXPECT_TRUE(codes.count(keyHangul));
    EXPECT_TRUE(codes.count(keyHanja));
}

TEST(MacKeyToPc, Rows) {
    struct Case {
        int code;
        bool found;
        uint16_t scan;
        bool extended;
        uint16_t vk;
    } cases[] = {
        {0, true, 0x1E, false, 0},          // A
        {keyHangul, true, 0x72, false, 0x15},
        {keyHanja, true, 0x71, false, 0x19},
        {55, true, 0x5B, true, 0},          // Command -> Windows key
        {61, true, 0x38, true, 0},          // right Option -> right Alt
        {105, true, 0x37, true, 0x2C},      // F13 -> Print Screen
        {107, true, 0x46, false, 0x91},     // F14 -> Scroll Lock
        {113, true, 0x45, false, 0x13},     // F15 -> Pause
        {114, true, 0x52, true, 0},         // Help -> Insert
        {126, true, 0x48, true, 0},         // Up arrow
        {65536 + 36, true, 0x1C, false, 0}, // only the low 16 bits count
        {63, false, 0, false, 0},           // Function
        {52, false, 0, false, 0},
        {127, false, 0, false, 0},
        {-1, false, 0, false, 0},
    };
    for (const Case& c : cases) {
        uint16_t scan = 0, vk = 0;
        bool ext = false;
        ASSERT_EQ(macKeyToPc(c.code, scan, ext, vk), c.found) << c.code;
        if (!c.found) continue;
        EXPECT_EQ(scan, c.scan) << c.code;
        EXPECT_EQ(ext, c.extended) << c.code;
        EXPECT_EQ(vk, c.vk) << c.code;
    }
}

TEST(PcKeyToMac, Cases) {
    struct Case {
        int scan, extended, vk, mac;
    } cases[] = {
        {0x38, 0, 0x12, 58},        // left Alt
        {0x38, 1, 0xA5, 61},        // right Alt
        {0x5B, 1, 0x5B, 55},        // Windows key
        {0x37, 1, 0x2C, 105},       // Print Screen, whatever its scan code
        {0x54, 0, 0x2C, 105},
        {0x00, 0, 0x13, 113},       // Pause
        {0xF2, 0, 0x15, keyHangul},
        {0xF1, 0, 0x19, keyHanja},
        {0x45, 1, 0x90, 71},        // Num Lock
        {0x46, 0, 0x91, 107},
        {0x20, 1, 0xAD, 74},
        {0x2E, 1, 0xAE, 73},
        {0x30, 1, 0xAF, 72},
        {0x1C, 0, 0x0D, 36},        // Return
        {0x1C, 1, 0x0D, 76},        // keypad Enter
        {0x4B, 1, 0x25, 123},       // Left arrow
        {0x4B, 0, 0x64, 86},        // keypad 4
        {0x4B, 0x101, 0, 123},      // only the low 8 bits of the extended flag count
        {0x1001E, 0, 0, 0},         // only the low 16 bits of the scan code count
        {0x4B, 2, 0, -1},
        {0x7F, 0, 0, -1},           // no row has it
        {0x45, 1, 0, -1},           // a scan code only reachable through its virtual key
    };
    for (const Case& c : cases) EXPECT_EQ(pcKeyToMac(c.scan, c.extended, c.vk), c.mac) << std::hex << c.scan << " " << c.vk;
}

TEST(PcKeyToMac, EveryScanCodeRowComesBack) {
    for (const MacKeyRow& row : macKeyTable()) {
        int vk = row.vk == 0 ? 0x07 : row.vk;  // 0x07 is an unassigned virtual key
        EXPECT_EQ(pcKeyToMac(row.scan, row.extended, vk), uint16_t(row.mac)) << row.mac;
    }
}

TEST(MacModifier, IsMacModifier) {
    EXPECT_FALSE(isMacModifier(53));
    for (int c = 54; c <= 63; ++c) EXPECT_TRUE(isMacModifier(c));
    EXPECT_FALSE(isMacModifier(64));
    EXPECT_FALSE(isMacModifier(keyHangul));
}

TEST(MacModifier, Flags) {
    struct Case {
        std::set<uint16_t> held;
        bool caps;
        uint16_t code;
        uint64_t flags;
    } cases[] = {
        {{}, false, 0, 0x100},
        {{55}, false, 8, 0x100 | 0x100000 | 0x8},
        {{54}, false, 8, 0x100 | 0x100000 | 0x10},
        {{56, 60}, false, 0, 0x100 | 0x20000 | 0x2 | 0x4},
        {{59, 62}, false, 0, 0x100 | 0x40000 | 0x1 | 0x2000},
        {{58, 61}, false, 0, 0x100 | 0x80000 | 0x20 | 0x40},
        {{57, 63, 0}, true, 0, 0x100 | 0x10000},  // Caps Lock counts by its state, not as held
        {{}, false, 123, 0x100 | 0x200000 | 0x800000},
        {{}, false, 126, 0x100 | 0x200000 | 0x800000},
        {{}, false, 114, 0x100 | 0x800000},
        {{}, false, 121, 0x100 | 0x800000},
        {{}, false, 118, 0x100},  // F4
        {{}, false, 120, 0x100},  // F2
        {{}, false, 65, 0x100 | 0x200000},
        {{}, false, 92, 0x100 | 0x200000},
        {{}, false, 72, 0x100},
        {{}, false, 79, 0x100},
        {{}, false, 90, 0x100},
        {{}, false, 93, 0x100},
        {{55, 56}, true, 76, 0x100 | 0x100000 | 0x8 | 0x20000 | 0x2 | 0x10000 | 0x200000},
    };
    for (const Case& c : cases) EXPECT_EQ(macModifierFlags(c.held, c.caps, c.code), c.flags) << c.code;
}

TEST(MacModifier, Down) {
    struct Case {
        uint16_t code;
        uint64_t flags;
        bool down;
    } cases[] = {
        {55, 0x100000, true},   // group bit alone counts as the left key
        {54, 0x100000, false},
        {55, 0x100000 | 0x10, false},
        {54, 0x100000 | 0x10, true},
        {55, 0x8, true},
        {56, 0x20000, true},
        {60, 0x20000, false},
        {56, 0x20000 | 0x4, false},
        {60, 0x4, true},
        {58, 0x80000, true},
        {61, 0x80000 | 0x40, true},
        {58, 0x80000 | 0x40, false},
        {59, 0x40000, true},
        {59, 0x40000 | 0x2000, false},
        {62, 0x2000, true},
        {57, 0x10000, true},
        {57, 0x100, false},
        {63, 0x800000, true},
        {63, 0x200000, false},
        {0, ~uint64_t(0), false},
        {64, ~uint64_t(0), false},
    };
    for (const Case& c : cases) EXPECT_EQ(macModifierDown(c.code, c.flags), c.down) << c.code << " " << std::hex << c.flags;
}

TEST(DecodeKeyEvent, Fields) {
    Bytes p{0x00, 0x7B, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x01, 0x00, 0x07};
    EXPECT_EQ(decodeKeyEvent(p), (KeyEvent{123, 1, 0x900100, true}));
    p.push_back(0xAA);  // trailing bytes are ignored
    EXPECT_EQ(decodeKeyEvent(p), (KeyEvent{123, 1, 0x900100, true}));

    Bytes q{0xF0, 0x01, 0x02, 0x80, 0, 0, 0, 0, 0, 0, 0x01, 0x00};
    EXPECT_EQ(decodeKeyEvent(q), (KeyEvent{0xF001, 2, 0x8000000000000001ull, false}));
}

TEST(DecodeKeyEvent, ShortPayloadFails) {
    for (size_t n : {0, 1, 2, 3, 11}) {
        SCOPED_TRACE(n);
        Bytes p(n, 0);
        expectShort([&] { decodeKeyEvent(p); });
    }
}

}  // namespace
