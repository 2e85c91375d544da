#include <gtest/gtest.h>

#include "media/decoder.h"

namespace {

OutputFormat format(uint32_t sw, uint32_t sh, int32_t ow, int32_t oh, int32_t pitch, int32_t range = -1,
                    bool defaultFull = false) {
    OutputFormat f;
    f.streamWidth = sw;
    f.streamHeight = sh;
    f.outputWidth = ow;
    f.outputHeight = oh;
    f.pitch = pitch;
    f.nominalRange = range;
    f.defaultFullRange = defaultFull;
    return f;
}

TEST(FrameGeometry, VisibleSizeAndChromaPlane) {
    const struct {
        const char* name;
        OutputFormat f;
        int32_t width, height;
        size_t uvOffset;
    } cases[] = {
        {"1080 in 1088", format(1920, 1080, 1920, 1088, 1920), 1920, 1080, 1920 * 1088},
        {"100 in 112", format(100, 64, 112, 64, 112), 100, 64, 112 * 64},
        {"stream width 0", format(0, 64, 112, 64, 128), 112, 64, 128 * 64},
        {"stream height 0", format(100, 0, 112, 64, 112), 100, 64, 112 * 64},
        {"stream larger than the output", format(2000, 1200, 1920, 1088, 1920), 1920, 1088, 1920 * 1088},
    };
    for (const auto& c : cases) {
        const FrameGeometry g = frameGeometry(c.f, 1 << 24);
        EXPECT_EQ(g.width, c.width) << c.name;
        EXPECT_EQ(g.height, c.height) << c.name;
        EXPECT_EQ(g.uvOffset, c.uvOffset) << c.name;
        EXPECT_TRUE(g.fits) << c.name;
    }
}

TEST(FrameGeometry, RangeFromTheOutputTypeElseTheDefault) {
    const struct {
        int32_t range;
        bool defaultFull, full;
    } cases[] = {{1, false, true}, {2, true, false}, {-1, true, true}, {-1, false, false}, {0, true, true}, {3, false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(frameGeometry(format(64, 64, 64, 64, 64, c.range, c.defaultFull), 64 * 96).fullRange, c.full)
            << c.range << " " << c.defaultFull;
    }
}

// Both planes must lie in the buffer: pitch x (output height + half of it, rounded up).
TEST(FrameGeometry, PicturesTheBufferCannotHoldDoNotFit) {
    const struct {
        const char* name;
        OutputFormat f;
        size_t length;
        bool fits;
    } cases[] = {
        {"exact", format(1920, 1080, 1920, 1088, 1920), 1920 * 1632, true},
        {"one byte short", format(1920, 1080, 1920, 1088, 1920), 1920 * 1632 - 1, false},
        {"odd output height", format(64, 63, 64, 63, 64), 64 * 95, true},
        {"odd output height, short", format(64, 63, 64, 63, 64), 64 * 94, false},
        {"pitch below the width", format(100, 64, 112, 64, 96), 1 << 20, false},
        {"odd width's last pair needs one more byte", format(99, 64, 99, 64, 99), 1 << 20, false},
        {"odd width with room", format(99, 64, 112, 64, 112), 1 << 20, true},
        {"pitch 0", format(64, 64, 64, 64, 0), 1 << 20, false},
        {"negative pitch", format(64, 64, 64, 64, -64), 1 << 20, false},
        {"no output height", format(64, 64, 64, 0, 64), 1 << 20, false},
        {"no width", format(0, 64, 0, 64, 64), 1 << 20, false},
        {"huge sizes", format(0, 0, 0x7fffffff, 0x7fffffff, 0x7fffffff), 1 << 20, false},
    };
    for (const auto& c : cases) EXPECT_EQ(frameGeometry(c.f, c.length).fits, c.fits) << c.name;
}

// A peer's header may not make the viewer size buffers past what H.264 allows.
TEST(StreamSize, AllowsSizesUpToTheLargestH264Picture) {
    const struct {
        uint32_t width, height;
        bool allowed;
    } cases[] = {
        {0, 0, true},           // unknown: the decoder finds out
        {16'384, 2'176, true},  // exactly the largest picture, at the widest side
        {8'192, 4'352, true},
        {8'192, 4'353, false},
        {16'385, 1, false},
        {1, 16'385, false},
        {16'384, 16'384, false},
        {100'000, 100'000, false},  // w x h does not fit 32 bits
        {0xFFFFFFFF, 0xFFFFFFFF, false},
    };
    for (const auto& c : cases) EXPECT_EQ(streamSizeAllowed(c.width, c.height), c.allowed) << c.width << "x" << c.height;
}

}  // namespace
