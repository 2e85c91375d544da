#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "media/cursor.h"

namespace {

TEST(CursorShapeMessage, WritesFourBigEndianFloatsThenThePng) {
    CursorShapeMessage m;
    m.hotX = 1.0f;
    m.hotY = -2.0f;
    m.width = 0.5f;
    m.height = 32.0f;
    m.png = {0x89, 'P', 'N', 'G'};
    const Bytes payload = m.write();
    EXPECT_EQ(payload, (Bytes{0x3f, 0x80, 0, 0, 0xc0, 0, 0, 0, 0x3f, 0, 0, 0, 0x42, 0, 0, 0, 0x89, 'P', 'N', 'G'}));
    const auto back = CursorShapeMessage::read(payload);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->hotX, 1.0f);
    EXPECT_EQ(back->hotY, -2.0f);
    EXPECT_EQ(back->width, 0.5f);
    EXPECT_EQ(back->height, 32.0f);
    EXPECT_EQ(back->png, m.png);
}

TEST(CursorShapeMessage, ShortPayloadsGiveNone) {
    EXPECT_FALSE(CursorShapeMessage::read(Bytes(15, 0x40)));
    EXPECT_FALSE(CursorShapeMessage::read(Bytes{}));
    const auto bare = CursorShapeMessage::read(Bytes(16, 0));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->png.empty());
}

TEST(CursorShapeMessage, SizesAreLogicalUnits) {
    const CursorShapeMessage m = CursorShapeMessage::fromPixels(6, 3, 32, 32, 1.5, Bytes{1});
    EXPECT_EQ(m.width, 21.333334f);
    EXPECT_EQ(m.height, 21.333334f);
    EXPECT_EQ(m.hotX, 4.0f);
    EXPECT_EQ(m.hotY, 2.0f);
    EXPECT_EQ(m.write().size(), 17u);
    const CursorShapeMessage unscaled = CursorShapeMessage::fromPixels(6, 3, 32, 32, 0.0, {});
    EXPECT_EQ(unscaled.width, 32.0f);
    EXPECT_EQ(unscaled.hotX, 6.0f);
}

// A solid image of `w` x `h` whose pixel (x, y) has blue x and green y.
Bytes gradient(int w, int h) {
    Bytes px(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 4];
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = 0x33, p[3] = 0xff;
        }
    }
    return px;
}

TEST(CursorImage, SizeAndHotSpotFollowTheViewersScale) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        float hotX, hotY, width, height;
        double scale;
        bool made;
        int w = 0, h = 0, hx = 0, hy = 0;
    } cases[] = {
        {"32 px from a 1.5 screen at 1.0", 4.0f, 2.0f, 21.333334f, 21.333334f, 1.0, true, 21, 21, 4, 2},
        {"the same at 2.0", 4.0f, 2.0f, 21.333334f, 21.333334f, 2.0, true, 43, 43, 8, 4},
        {"over 256", 0, 0, 200.0f, 100.0f, 1.5, true, 256, 150, 0, 0},
        {"huge", 3e38f, 3e38f, 3e38f, 1e30f, 1e10, true, 256, 256, 255, 255},
        {"tiny size", 0, 0, 0.2f, 0.4f, 1.0, true, 1, 1, 0, 0},
        {"hot spot past the edge", 40.0f, 9.6f, 8.0f, 8.0f, 1.0, true, 8, 8, 7, 7},
        {"negative hot spot", -3.0f, -0.4f, 8.0f, 8.0f, 1.0, true, 8, 8, 0, 0},
        {"hidden pointer", 0, 0, 1.0f, 1.0f, 1.25, true, 1, 1, 0, 0},
        {"zero width", 0, 0, 0.0f, 8.0f, 1.0, false},
        {"negative height", 0, 0, 8.0f, -8.0f, 1.0, false},
        {"infinite width", 0, 0, inf, 8.0f, 1.0, false},
        {"NaN height", 0, 0, 8.0f, nan, 1.0, false},
        {"NaN hot spot", nan, 0, 8.0f, 8.0f, 1.0, false},
        {"infinite hot spot", 0, -inf, 8.0f, 8.0f, 1.0, false},
        {"zero scale", 0, 0, 8.0f, 8.0f, 0.0, false},
        {"NaN scale", 0, 0, 8.0f, 8.0f, std::nan(""), false},
    };
    const Bytes px = gradient(32, 32);
    for (const auto& c : cases) {
        CursorShapeMessage m;
        m.hotX = c.hotX, m.hotY = c.hotY, m.width = c.width, m.height = c.height;
        const auto image = cursorImage(m, c.scale, px.data(), 32, 32);
        ASSERT_EQ(image.has_value(), c.made) << c.name;
        if (!image) continue;
        EXPECT_EQ(image->width, c.w) << c.name;
        EXPECT_EQ(image->height, c.h) << c.name;
        EXPECT_EQ(image->hotX, c.hx) << c.name;
        EXPECT_EQ(image->hotY, c.hy) << c.name;
        EXPECT_EQ(image->bgra.size(), size_t(c.w) * size_t(c.h) * 4) << c.name;
    }
    CursorShapeMessage m;
    EXPECT_FALSE(cursorImage(m, 1.0, px.data(), 0, 32));
    EXPECT_FALSE(cursorImage(m, 1.0, nullptr, 32, 32));
}

TEST(CursorImage, ScalesByNearestNeighbour) {
    CursorShapeMessage m;
    const Bytes px = gradient(3, 2);
    m.width = 6.0f, m.height = 4.0f;  // up: each source pixel twice in each direction
    auto up = cursorImage(m, 1.0, px.data(), 3, 2);
    ASSERT_TRUE(up);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            const uint8_t* p = &up->bgra[(size_t(y) * 6 + size_t(x)) * 4];
            EXPECT_EQ(p[0], x / 2) << x << "," << y;
            EXPECT_EQ(p[1], y / 2) << x << "," << y;
            EXPECT_EQ(p[2], 0x33);
        }
    }
    m.width = 2.0f, m.height = 1.0f;  // down: columns 0 and floor(1 x 3 / 2) = 1, row 0
    auto down = cursorImage(m, 1.0, px.data(), 3, 2);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->bgra, (Bytes{0, 0, 0x33, 0xff, 1, 0, 0x33, 0xff}));
}

// Mask pixels as the system reads them: 32 bits each, set bits as 0x00FFFFFF.
Bytes maskOf(const std::vector<std::string>& andRows, const std::vector<std::string>& xorRows) {
    Bytes mask;
    for (const auto* rows : {&andRows, &xorRows}) {
        for (const std::string& row : *rows) {
            for (char c : row) {
                const uint8_t v = c == '1' ? 0xff : 0;
                mask.insert(mask.end(), {v, v, v, 0});
            }
        }
    }
    return mask;
}

// '.' transparent, 'B' black, 'W' white.
std::vector<std::string> picture(const Bytes& bgra, int width) {
    std::vector<std::string> rows;
    for (size_t i = 0; i < bgra.size(); i += 4) {
        if (i / 4 % size_t(width) == 0) rows.emplace_back();
        const uint8_t* p = &bgra[i];
        char c = '?';
        if (p[3] == 0 && p[0] == 0 && p[1] == 0 && p[2] == 0) c = '.';
        if (p[3] == 255 && p[0] == 0 && p[1] == 0 && p[2] == 0) c = 'B';
        if (p[3] == 255 && p[0] == 255 && p[1] == 255 && p[2] == 255) c = 'W';
        rows.back() += c;
    }
    return rows;
}

TEST(MonochromeCursor, AndXorRules) {
    const Bytes mask = maskOf({"0011"}, {"0101"});
    const auto px = monochromeCursorPixels(mask.data(), 4, 2);
    ASSERT_TRUE(px);
    EXPECT_EQ(picture(*px, 4), (std::vector<std::string>{"BWWB"}));  // the inverting pixel outlines its neighbour
}

TEST(MonochromeCursor, TextBeamIsBlackWithAWhiteOutline) {
    const Bytes beam = maskOf({"11111", "11111", "11111", "11111", "11111"}, {"00000", "00100", "00100", "00100", "00000"});
    const auto inverting = monochromeCursorPixels(beam.data(), 5, 10);
    ASSERT_TRUE(inverting);
    EXPECT_EQ(picture(*inverting, 5), (std::vector<std::string>{".WWW.", ".WBW.", ".WBW.", ".WBW.", ".WWW."}));

    const Bytes edge = maskOf({"11", "11"}, {"10", "00"});  // at the corner: the block is cut by the edges
    const auto corner = monochromeCursorPixels(edge.data(), 2, 4);
    ASSERT_TRUE(corner);
    EXPECT_EQ(picture(*corner, 2), (std::vector<std::string>{"BW", "WW"}));
}

TEST(MonochromeCursor, MasksOfOneRowGiveNone) {
    const Bytes mask(4 * 4, 0);
    EXPECT_FALSE(monochromeCursorPixels(mask.data(), 4, 1));
    EXPECT_FALSE(monochromeCursorPixels(mask.data(), 4, 0));
    EXPECT_FALSE(monochromeCursorPixels(mask.data(), 0, 4));
}

TEST(AlphaFromMask, OnlyWhenEveryAlphaIsZero) {
    const Bytes mask = maskOf({"01", "10"}, {});
    Bytes colour{1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    EXPECT_TRUE(alphaFromMask(colour, mask.data()));
    EXPECT_EQ(colour, (Bytes{1, 2, 3, 255, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 255}));
    Bytes withAlpha{1, 2, 3, 0, 4, 5, 6, 9, 7, 8, 9, 0, 10, 11, 12, 0};
    const Bytes before = withAlpha;
    EXPECT_FALSE(alphaFromMask(withAlpha, mask.data()));
    EXPECT_EQ(withAlpha, before);
}

}  // namespace
