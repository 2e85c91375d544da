// Device-independent bitmaps to and from BGRA pictures, and the payload limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "host/clipboard.h"

namespace {

struct DibSpec {
    int32_t width;
    int32_t height;
    uint16_t bits;
    uint32_t compression = 0;
    uint32_t colours = 0;
    uint32_t headerSize = 40;
};

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Header, then `gap` filler bytes (masks, colour table), then the rows as given.
Bytes makeDib(const DibSpec& s, size_t gap, const Bytes& rows) {
    Bytes b(std::max<uint32_t>(s.headerSize, 40), 0);  // the fields are read at their usual places
    put32(b, 0, s.headerSize);
    put32(b, 4, uint32_t(s.width));
    put32(b, 8, uint32_t(s.height));
    b[12] = 1;
    b[14] = uint8_t(s.bits);
    b[15] = uint8_t(s.bits >> 8);
    put32(b, 16, s.compression);
    put32(b, 32, s.colours);
    b.insert(b.end(), gap, 0xEE);
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

// A 3 x 2 picture, 24-bit: each row of 9 bytes is padded to 12.
const Bytes kRows24 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0,  // first row in the block
                       11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0};
// 2 x 2, 32-bit.
const Bytes kRows32NoAlpha = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
const Bytes kRows32Alpha = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 0};

}  // namespace

TEST(ClipboardDib, ReadsSupportedBitmaps) {
    struct Case {
        const char* what;
        DibSpec spec;
        size_t gap;
        Bytes rows;
        Bytes expected;  // top-down BGRA
    } cases[] = {
        {"24-bit bottom-up, padded rows", {3, 2, 24}, 0, kRows24,
         {11, 12, 13, 255, 14, 15, 16, 255, 17, 18, 19, 255, 1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255}},
        {"24-bit top-down", {3, -2, 24}, 0, kRows24,
         {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 11, 12, 13, 255, 14, 15, 16, 255, 17, 18, 19, 255}},
        {"32-bit without alpha is opaque", {2, 2, 32}, 0, kRows32NoAlpha,
         {7, 8, 9, 255, 10, 11, 12, 255, 1, 2, 3, 255, 4, 5, 6, 255}},
        {"32-bit keeps its alpha", {2, -2, 32}, 0, kRows32Alpha, kRows32Alpha},
        {"masks after a short header", {2, -2, 32, 3}, 12, kRows32Alpha, kRows32Alpha},
        {"masks inside a long header", {2, -2, 32, 3, 0, 124}, 0, kRows32Alpha, kRows32Alpha},
        {"colour table", {2, -2, 32, 0, 2}, 8, kRows32Alpha, kRows32Alpha},
        {"spare bytes after the rows", {2, -2, 32}, 0, [] { Bytes r = kRows32Alpha; r.resize(40, 9); return r; }(),
         kRows32Alpha},
    };
    for (const Case& c : cases) {
        BgraImage image;
        ASSERT_TRUE(dibToBgra(makeDib(c.spec, c.gap, c.rows), image)) << c.what;
        EXPECT_EQ(image.width, c.spec.width) << c.what;
        EXPECT_EQ(image.height, c.spec.height < 0 ? -c.spec.height : c.spec.height) << c.what;
        EXPECT_EQ(image.pixels, c.expected) << c.what;
    }
}

TEST(ClipboardDib, RefusesUnusableBitmaps) {
    Bytes shortRows(kRows24.begin(), kRows24.end() - 1);
    struct Case {
        const char* what;
        Bytes block;
    } cases[] = {
        {"width 0", makeDib({0, 2, 24}, 0, kRows24)},
        {"negative width", makeDib({-3, 2, 24}, 0, kRows24)},
        {"height 0", makeDib({3, 0, 24}, 0, kRows24)},
        {"16 bits", makeDib({3, 2, 16}, 0, kRows24)},
        {"8 bits", makeDib({3, 2, 8}, 0, kRows24)},
        {"block one byte short", makeDib({3, 2, 24}, 0, shortRows)},
        {"header only", makeDib({3, 2, 24}, 0, {})},
        {"shorter than a header", Bytes(39, 0)},
        {"width 0x40000000", makeDib({0x40000000, 1, 32}, 0, kRows24)},
        {"height of the most negative number", makeDib({1, INT32_MIN, 32}, 0, kRows24)},
        {"huge height", makeDib({1, INT32_MAX, 32}, 0, kRows24)},
        {"colour table past the end", makeDib({2, 2, 32, 0, 0xFFFFFFFFu}, 0, kRows32Alpha)},
        {"masks not in the block", makeDib({2, 2, 32, 3}, 0, kRows32Alpha)},
        {"core header", makeDib({2, 2, 32, 0, 0, 12}, 0, kRows32Alpha)},
        {"run-length compression", makeDib({2, 2, 32, 1}, 0, kRows32Alpha)},
        {"masks on 24 bits", makeDib({3, 2, 24, 3}, 12, kRows24)},
    };
    for (const Case& c : cases) {
        BgraImage image;
        EXPECT_FALSE(dibToBgra(c.block, image)) << c.what;
    }
}

TEST(ClipboardDib, WrittenBitmapIsBottomUpAndReadsBack) {
    BgraImage image{3, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}};
    Bytes dib = bgraToDib(image);
    ASSERT_EQ(dib.size(), 40u + 24u);
    Bytes header(dib.begin(), dib.begin() + 40);
    Bytes expectedHeader(40, 0);
    put32(expectedHeader, 0, 40);
    put32(expectedHeader, 4, 3);
    put32(expectedHeader, 8, 2);
    expectedHeader[12] = 1;
    expectedHeader[14] = 32;
    EXPECT_EQ(header, expectedHeader);
    // The picture's top row comes last.
    EXPECT_EQ(Bytes(dib.begin() + 40, dib.begin() + 52), Bytes(image.pixels.begin() + 12, image.pixels.end()));
    BgraImage back;
    ASSERT_TRUE(dibToBgra(dib, back));
    EXPECT_EQ(back.pixels, image.pixels);
}

TEST(ClipboardPayload, LimitsOfPeerPayloads) {
    struct Case {
        uint8_t kind;
        size_t bodySize;
        bool fits;
    } cases[] = {
        {kClipboardText, 8388606, true},   {kClipboardText, 8388607, false},
        {kClipboardImage, 25165823, true}, {kClipboardImage, 25165824, false},
        {3, 25165824, false},              {3, 0, true},
    };
    for (const Case& c : cases) {
        Bytes payload(c.bodySize + 1, 'a');
        payload[0] = c.kind;
        EXPECT_EQ(clipboardPayloadFits(payload), c.fits) << int(c.kind) << " " << c.bodySize;
    }
}
