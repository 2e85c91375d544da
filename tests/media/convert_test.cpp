#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "media/convert.h"

namespace {

using Bytes = std::vector<uint8_t>;

const ConvertPath kFastPaths[] = {ConvertPath::Sse2, ConvertPath::Avx2, ConvertPath::Best};
const ConvertPath kAllPaths[] = {ConvertPath::Reference, ConvertPath::Sse2, ConvertPath::Avx2, ConvertPath::Best};

std::string pathName(ConvertPath p) {
    switch (p) {
        case ConvertPath::Reference: return "reference";
        case ConvertPath::Sse2: return "sse2";
        case ConvertPath::Avx2: return "avx2";
        case ConvertPath::Best: return "best";
    }
    return "?";
}

struct Image {
    int width, height, pitch;
    Bytes bgra;
    uint8_t* at(int x, int y) { return bgra.data() + size_t(y) * size_t(pitch) + 4 * size_t(x); }
};

Image solid(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    Image im{width, height, width * 4, Bytes(size_t(width) * size_t(height) * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = im.at(x, y);
            p[0] = b, p[1] = g, p[2] = r, p[3] = 0x5a;
        }
    }
    return im;
}

// Random pixels; the bytes between rows (pitch beyond width x 4) are random too.
Image randomImage(int width, int height, int padding, uint32_t seed) {
    std::mt19937 rng(seed);
    Image im{width, height, width * 4 + padding, {}};
    im.bgra.resize(size_t(im.pitch) * size_t(height));
    for (uint8_t& v : im.bgra) v = uint8_t(rng());
    return im;
}

Bytes toNv12(ConvertPath path, const Image& im, int dstWidth, int dstHeight) {
    Bytes out(size_t(dstWidth) * size_t(dstHeight) * 3 / 2, 0xee);
    convertBgraToNv12(path, im.bgra.data(), im.width, im.height, im.pitch, out.data(), dstWidth, dstHeight);
    return out;
}

int grayLuma(int g) { return ((220 * g + 128) >> 8) + 16; }

TEST(ConvertBgraToNv12, PureColoursGiveTheirBt709Values) {
    struct Case {
        const char* name;
        uint8_t b, g, r;
        int y, u, v;
    };
    const Case cases[] = {
        {"white", 255, 255, 255, 235, 127, 128}, {"black", 0, 0, 0, 16, 128, 128},
        {"red", 0, 0, 255, 63, 102, 240},         {"yellow", 0, 255, 255, 219, 15, 138},
        {"blue", 255, 0, 0, 32, 240, 118},        {"green", 0, 255, 0, 172, 41, 26},
    };
    for (ConvertPath path : kAllPaths) {
        for (const Case& c : cases) {
            SCOPED_TRACE(pathName(path) + " " + c.name);
            const Image im = solid(64, 4, c.b, c.g, c.r);
            const Bytes nv12 = toNv12(path, im, 64, 4);
            for (size_t i = 0; i < 64 * 4; ++i) ASSERT_EQ(nv12[i], c.y) << i;
            for (size_t i = 64 * 4; i < nv12.size(); i += 2) {
                ASSERT_EQ(nv12[i], c.u) << i;
                ASSERT_EQ(nv12[i + 1], c.v) << i;
            }
        }
    }
}

// Each 2 x 2 source block holds greys a, a + 1, a + 2 and a + 4 (a from the block's place): the
// truncated mean is a + 1, and the chroma of a grey is neutral.
TEST(ConvertBgraToNv12, HalvingAveragesEachTwoByTwoBlock) {
    Image im = solid(1920, 1080, 0, 0, 0);
    auto base = [](int bx, int by) { return (bx * 7 + by * 3) % 250; };
    for (int y = 0; y < 1080; ++y) {
        for (int x = 0; x < 1920; ++x) {
            const int offsets[4] = {0, 1, 2, 4};
            const uint8_t g = uint8_t(base(x / 2, y / 2) + offsets[(y % 2) * 2 + x % 2]);
            uint8_t* p = im.at(x, y);
            p[0] = p[1] = p[2] = g;
        }
    }
    for (ConvertPath path : kAllPaths) {
        SCOPED_TRACE(pathName(path));
        const Bytes nv12 = toNv12(path, im, 960, 540);
        for (int y = 0; y < 540; ++y) {
            for (int x = 0; x < 960; ++x) {
                ASSERT_EQ(nv12[size_t(y) * 960 + size_t(x)], grayLuma(base(x, y) + 1)) << x << "," << y;
            }
        }
        // A grey's chroma: U = ((128 - grey) >> 8) + 128, V = 128.
        for (int y = 0; y < 270; ++y) {
            for (int x = 0; x < 480; ++x) {
                const int mean = (base(2 * x, 2 * y) + base(2 * x + 1, 2 * y) + base(2 * x, 2 * y + 1) +
                                  base(2 * x + 1, 2 * y + 1) + 4) >> 2;
                const size_t at = 960 * 540 + size_t(y) * 960 + 2 * size_t(x);
                ASSERT_EQ(nv12[at], ((128 - mean) >> 8) + 128) << x << "," << y;
                ASSERT_EQ(nv12[at + 1], 128);
            }
        }
    }
}

// Every destination pixel of an enlargement is exactly one source pixel.
TEST(ConvertBgraToNv12, EnlargingRepeatsSourcePixels) {
    const struct {
        int sw, sh, dw, dh;
    } sizes[] = {{5, 3, 8, 6}, {7, 5, 16, 12}, {3, 2, 34, 34}, {40, 2, 40, 6}};
    for (ConvertPath path : kAllPaths) {
        for (const auto& s : sizes) {
            SCOPED_TRACE(pathName(path) + " " + std::to_string(s.sw) + "x" + std::to_string(s.sh));
            Image im = solid(s.sw, s.sh, 0, 0, 0);
            for (int y = 0; y < s.sh; ++y) {
                for (int x = 0; x < s.sw; ++x) {
                    uint8_t* p = im.at(x, y);
                    p[0] = p[1] = p[2] = uint8_t(x * 17 + y * 61);
                }
            }
            const Bytes nv12 = toNv12(path, im, s.dw, s.dh);
            for (int y = 0; y < s.dh; ++y) {
                for (int x = 0; x < s.dw; ++x) {
                    const int sx = x * s.sw / s.dw, sy = y * s.sh / s.dh;
                    ASSERT_EQ(nv12[size_t(y) * size_t(s.dw) + size_t(x)], grayLuma(im.at(sx, sy)[0])) << x << "," << y;
                }
            }
        }
    }
}

// 2560 columns into 1920: the columns go by threes covering 1, 1 and 2 source columns.
TEST(ConvertBgraToNv12, ThreeQuarterColumnsCoverOneOneAndTwo) {
    Image im = solid(2560, 2, 0, 0, 0);
    for (int x = 0; x < 2560; ++x) {
        for (int y = 0; y < 2; ++y) {
            uint8_t* p = im.at(x, y);
            p[0] = p[1] = p[2] = uint8_t(x % 4 == 3 ? 101 : 10 * (x % 4));  // 0, 10, 20, 101
        }
    }
    for (ConvertPath path : kAllPaths) {
        SCOPED_TRACE(pathName(path));
        const Bytes nv12 = toNv12(path, im, 1920, 2);
        for (int x = 0; x < 1920; ++x) {
            const int expected[3] = {grayLuma(0), grayLuma(10), grayLuma((20 + 101) / 2)};
            ASSERT_EQ(nv12[size_t(x)], expected[x % 3]) << x;
        }
    }
}

// Quadrants of a 7 x 5 source: columns [0, 3) and [3, 7), rows [0, 2) and [2, 5).
TEST(ConvertBgraToNv12, SmallestPictureCoversTheWholeSource) {
    Image im = solid(7, 5, 0, 0, 0);
    const uint8_t greys[4] = {30, 90, 150, 210};
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
            uint8_t* p = im.at(x, y);
            p[0] = p[1] = p[2] = greys[(y >= 2) * 2 + (x >= 3)];
        }
    }
    for (ConvertPath path : kAllPaths) {
        SCOPED_TRACE(pathName(path));
        const Bytes nv12 = toNv12(path, im, 2, 2);
        EXPECT_EQ(nv12, (Bytes{uint8_t(grayLuma(30)), uint8_t(grayLuma(90)), uint8_t(grayLuma(150)),
                               uint8_t(grayLuma(210)), 128, 128}));
    }
}

TEST(ConvertBgraToNv12, RowPaddingIsSkipped) {
    const Image padded = randomImage(50, 20, 12, 7);
    Image tight{50, 20, 200, Bytes(200 * 20)};
    for (int y = 0; y < 20; ++y) std::copy_n(padded.bgra.begin() + y * padded.pitch, 200, tight.bgra.begin() + y * 200);
    for (ConvertPath path : kAllPaths) {
        for (const auto& [dw, dh] : {std::pair{50, 20}, {26, 10}, {34, 14}}) {
            SCOPED_TRACE(pathName(path) + " " + std::to_string(dw));
            EXPECT_EQ(toNv12(path, padded, dw, dh), toNv12(path, tight, dw, dh));
        }
    }
}

// The vector paths (same size, exact halving, and the loop for the rest) give the reference's
// bytes, also where the width leaves columns beyond the last whole vector chunk.
TEST(ConvertBgraToNv12, FastPathsMatchTheReference) {
    const struct {
        int sw, sh, dw, dh;
    } sizes[] = {
        {16, 2, 16, 2},     {30, 6, 30, 6},     {34, 10, 34, 10},   {64, 4, 64, 4},     {98, 8, 98, 8},
        {1922, 4, 1922, 4}, {4, 4, 2, 2},       {68, 12, 34, 6},    {132, 8, 66, 4},    {196, 6, 98, 2},
        {130, 10, 64, 4},   {34, 3, 34, 8},     {34, 12, 34, 6},    {68, 7, 34, 4},     {50, 30, 34, 22},
        {100, 64, 98, 62},  {2560, 4, 1920, 4}, {33, 17, 64, 34},   {66, 5, 32, 2},     {144, 114, 2, 2},
        {146, 116, 2, 2},   {301, 7, 4, 2},     {2560, 16, 1920, 12}, {1280, 20, 900, 14}, {1366, 10, 1280, 8},
        {90, 33, 30, 30},   {10, 22, 10, 2},    {40, 11, 10, 4},    {31, 9, 12, 4},     {17, 40, 6, 36},
        {1280, 9, 1120, 6}, {42, 6, 34, 4},     {40, 25, 24, 6},
    };
    uint32_t seed = 1;
    for (const auto& s : sizes) {
        for (int padding : {0, 4, 36}) {
            const Image im = randomImage(s.sw, s.sh, padding, seed++);
            const Bytes expected = toNv12(ConvertPath::Reference, im, s.dw, s.dh);
            for (ConvertPath path : kFastPaths) {
                SCOPED_TRACE(pathName(path) + " " + std::to_string(s.sw) + "x" + std::to_string(s.sh) + " to " +
                             std::to_string(s.dw) + "x" + std::to_string(s.dh) + " padding " + std::to_string(padding));
                ASSERT_EQ(toNv12(path, im, s.dw, s.dh), expected);
            }
        }
    }
}

// Boxes divide by multiplying with a reciprocal: 16-bit ones up to 11 pixels, 32-bit ones up to
// 4104, larger ones by dividing. Green sums of 255 and 254 (the largest bytes, and one below a
// multiple) stay exact around each edge; 4178 = 2089 x 2 is the smallest box whose 32-bit
// reciprocal would be wrong for 255 x 4178 - 1. Blue 2 makes luma tell green 254 from 255.
TEST(ConvertBgraToNv12, LargeBoxesAverageExactly) {
    const struct {
        int sw, sh;  // into 2 x 2: boxes of sw/2 x sh/2 pixels
    } sizes[] = {{144, 114}, {146, 114}, {144, 116}, {2, 2}, {4178, 4}, {4, 6},  {6, 6}, {8, 4},
                 {2, 22},    {4, 10},    {2, 14},    {6, 8}, {8, 6},    {22, 2}, {6, 2}};
    for (const auto& s : sizes) {
        for (uint8_t level : {uint8_t(255), uint8_t(254), uint8_t(1)}) {
            Image im = solid(s.sw, s.sh, 2, level, 0);
            im.at(s.sw - 1, s.sh - 1)[1] = uint8_t(level - 1);
            const Bytes expected = toNv12(ConvertPath::Reference, im, 2, 2);
            EXPECT_EQ(expected[3], ((157 * (level - 1) + 16 * 2 + 128) >> 8) + 16) << s.sw << " " << int(level);
            for (ConvertPath path : kFastPaths) {
                EXPECT_EQ(toNv12(path, im, 2, 2), expected) << pathName(path) << " " << s.sw << " " << int(level);
            }
        }
    }
}

TEST(ConvertBgraToNv12, UnusableSizesWriteNothing) {
    const Image im = randomImage(8, 8, 0, 3);
    const struct {
        int sw, sh, pitch, dw, dh;
    } cases[] = {{0, 8, 32, 8, 8}, {8, 0, 32, 8, 8}, {-4, 8, 32, 8, 8}, {8, 8, 28, 8, 8},
                 {8, 8, 32, 7, 8}, {8, 8, 32, 8, 5}, {8, 8, 32, 0, 8}, {8, 8, 32, 8, 0}};
    for (ConvertPath path : kAllPaths) {
        for (const auto& c : cases) {
            Bytes out(8 * 8 * 3 / 2, 0xee);
            convertBgraToNv12(path, im.bgra.data(), c.sw, c.sh, c.pitch, out.data(), c.dw, c.dh);
            EXPECT_EQ(out, Bytes(out.size(), 0xee)) << pathName(path) << " " << c.sw << " " << c.sh << " " << c.dw;
        }
    }
}

// ---- NV12 to BGRA ----

struct Nv12 {
    int width, height, pitch;
    Bytes y, uv;
};

Nv12 uniformNv12(int width, int height, int pitch, uint8_t y, uint8_t u, uint8_t v) {
    Nv12 p{width, height, pitch, Bytes(size_t(pitch) * size_t(height), y), Bytes(size_t(pitch) * size_t(height + 1) / 2)};
    for (size_t i = 0; i < p.uv.size(); i += 2) p.uv[i] = u, p.uv[i + 1] = v;
    return p;
}

Bytes toBgra(ConvertPath path, const Nv12& p, bool fullRange) {
    Bytes out(size_t(p.width) * size_t(p.height) * 4, 0xee);
    EXPECT_TRUE(nv12ToBgraInto(path, p.y.data(), p.uv.data(), p.pitch, p.width, p.height, fullRange, out.data()));
    return out;
}

TEST(Nv12ToBgra, BlackWhiteAndGreyAreExact) {
    const struct {
        bool full;
        uint8_t y;
        uint8_t level;
    } cases[] = {{false, 16, 0}, {false, 235, 255}, {false, 126, 128}, {false, 0, 0},
                 {false, 255, 255}, {true, 0, 0},    {true, 255, 255},  {true, 128, 128}};
    for (ConvertPath path : kAllPaths) {
        for (const auto& c : cases) {
            SCOPED_TRACE(pathName(path) + (c.full ? " full " : " limited ") + std::to_string(c.y));
            const Nv12 p = uniformNv12(38, 6, 48, c.y, 128, 128);
            const Bytes bgra = toBgra(path, p, c.full);
            for (size_t i = 0; i < bgra.size(); i += 4) {
                ASSERT_EQ(bgra[i], c.level) << i;
                ASSERT_EQ(bgra[i + 1], c.level) << i;
                ASSERT_EQ(bgra[i + 2], c.level) << i;
                ASSERT_EQ(bgra[i + 3], 255) << i;
            }
        }
    }
    const Nv12 p = uniformNv12(4, 2, 4, 235, 128, 128);
    EXPECT_EQ(nv12ToBgra(p.y.data(), p.uv.data(), 4, 4, 2, false), Bytes(32, 255));
}

// Pure colours through NV12 and back come out near where they started.
TEST(Nv12ToBgra, ColoursSurviveTheRoundTrip) {
    const uint8_t colours[][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {0, 255, 255}, {200, 100, 50}};
    for (ConvertPath path : kAllPaths) {
        for (const auto& c : colours) {
            const Image im = solid(34, 4, c[0], c[1], c[2]);
            const Bytes nv12 = toNv12(ConvertPath::Reference, im, 34, 4);
            Nv12 p{34, 4, 34, Bytes(nv12.begin(), nv12.begin() + 34 * 4), Bytes(nv12.begin() + 34 * 4, nv12.end())};
            const Bytes bgra = toBgra(path, p, false);
            for (size_t i = 0; i < bgra.size(); i += 4) {
                for (int k = 0; k < 3; ++k) {
                    ASSERT_NEAR(bgra[i + size_t(k)], c[k], 4) << pathName(path) << " channel " << k;
                }
            }
        }
    }
}

// Whether every byte of a and b differs by at most 1, eight bytes at a time (a plain byte loop
// costs seconds over the 67 million bytes below in a sanitised debug build).
bool withinOne(const Bytes& a, const Bytes& b) {
    const uint64_t high = 0x8080808080808080ull, low = 0x7f7f7f7f7f7f7f7full, ones = 0x0101010101010101ull;
    for (size_t i = 0; i + 8 <= a.size(); i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        const uint64_t d = ((x | high) - (y & low)) ^ ((x ^ ~y) & high);  // bytewise x - y
        const uint64_t e = ((d & low) + ones) ^ (d & high);               // bytewise d + 1: 0, 1 or 2 when |x - y| <= 1
        if (e & ~(ones * 3)) return false;
    }
    return true;
}

// Every (y, U, V) in both ranges: the integer path stays within 1 of the float loop (the vector
// paths agree with each other byte for byte in the test after this one). A 512 x 512
// picture holds each (U, V) once as a 2 x 2 block (U by column pair, V by row pair) with four luma
// values; 64 pictures run every luma value.
TEST(Nv12ToBgra, IntegerPathsStayWithinOneOfTheFloatLoop) {
    Nv12 p{512, 512, 512, Bytes(512 * 512), Bytes(512 * 256)};
    for (int v = 0; v < 256; ++v) {
        for (int u = 0; u < 256; ++u) {
            p.uv[size_t(v) * 512 + 2 * size_t(u)] = uint8_t(u);
            p.uv[size_t(v) * 512 + 2 * size_t(u) + 1] = uint8_t(v);
        }
    }
    Bytes reference(512 * 512 * 4), fast(512 * 512 * 4);
    for (bool full : {false, true}) {
        for (int pass = 0; pass < 64; ++pass) {
            Bytes rows[2] = {Bytes(512), Bytes(512)};
            for (int col = 0; col < 512; ++col) {
                rows[0][size_t(col)] = uint8_t(pass * 4 + col % 2);
                rows[1][size_t(col)] = uint8_t(pass * 4 + 2 + col % 2);
            }
            for (int row = 0; row < 512; ++row) std::copy(rows[row % 2].begin(), rows[row % 2].end(), p.y.begin() + row * 512);
            ASSERT_TRUE(nv12ToBgraInto(ConvertPath::Reference, p.y.data(), p.uv.data(), 512, 512, 512, full,
                                       reference.data()));
            ASSERT_TRUE(nv12ToBgraInto(ConvertPath::Best, p.y.data(), p.uv.data(), 512, 512, 512, full, fast.data()));
            if (withinOne(fast, reference)) continue;
            for (size_t i = 0; i < fast.size(); ++i) {
                if (std::abs(int(fast[i]) - int(reference[i])) > 1) {
                    const size_t pixel = i / 4;
                    FAIL() << (full ? "full" : "limited") << " y " << int(p.y[pixel]) << " u " << (pixel % 512) / 2
                           << " v " << pixel / 1024 << " channel " << i % 4 << ": " << int(fast[i]) << " vs "
                           << int(reference[i]);
                }
            }
            FAIL() << "the bytewise comparison disagrees with the word one";
        }
    }
}

// The vector code and the integer formulas of the columns it leaves agree byte for byte.
TEST(Nv12ToBgra, VectorPathsAgreeOnEveryWidth) {
    std::mt19937 rng(11);
    for (int width : {1, 2, 15, 16, 17, 31, 33, 64, 95, 130}) {
        for (int height : {1, 2, 5}) {
            const int pitch = (width + 1) / 2 * 2 + int(rng() % 3) * 2;
            Nv12 p{width, height, pitch, Bytes(size_t(pitch) * size_t(height)), Bytes(size_t(pitch) * size_t(height + 1) / 2)};
            for (uint8_t& b : p.y) b = uint8_t(rng());
            for (uint8_t& b : p.uv) b = uint8_t(rng());
            for (bool full : {false, true}) {
                SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (full ? " full" : " limited"));
                const Bytes sse2 = toBgra(ConvertPath::Sse2, p, full);
                EXPECT_EQ(toBgra(ConvertPath::Avx2, p, full), sse2);
                EXPECT_EQ(toBgra(ConvertPath::Best, p, full), sse2);
                EXPECT_EQ(nv12ToBgra(p.y.data(), p.uv.data(), pitch, width, height, full), sse2);
            }
        }
    }
}

TEST(Nv12ToBgra, UnusableSizesGiveNothing) {
    const Nv12 p = uniformNv12(8, 4, 8, 100, 128, 128);
    EXPECT_TRUE(nv12ToBgra(p.y.data(), p.uv.data(), 8, 0, 4, false).empty());
    EXPECT_TRUE(nv12ToBgra(p.y.data(), p.uv.data(), 8, 8, 0, false).empty());
    EXPECT_TRUE(nv12ToBgra(p.y.data(), p.uv.data(), 6, 8, 4, false).empty());
    EXPECT_TRUE(nv12ToBgra(p.y.data(), p.uv.data(), 7, 7, 4, false).empty());  // the last pair would pass the row
    EXPECT_EQ(nv12ToBgra(p.y.data(), p.uv.data(), 8, 7, 4, false).size(), 7u * 4 * 4);
}

}  // namespace
