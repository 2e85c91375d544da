#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "media/capture.h"

namespace {

MonitorInfo monitor(int left, int width, bool primary, const wchar_t* name) {
    MonitorInfo m;
    m.index = 99;
    m.left = left;
    m.right = left + width;
    m.bottom = 1080;
    m.primary = primary;
    m.deviceName = name;
    return m;
}

std::vector<std::wstring> names(const std::vector<MonitorInfo>& monitors) {
    std::vector<std::wstring> out;
    for (size_t i = 0; i < monitors.size(); ++i) {
        EXPECT_EQ(monitors[i].index, i);
        out.push_back(monitors[i].deviceName);
    }
    return out;
}

TEST(SortMonitors, PrimaryFirstThenByLeftEdge) {
    std::vector<MonitorInfo> two{monitor(0, 1920, false, L"left"), monitor(1920, 2560, true, L"right")};
    sortMonitors(two);
    EXPECT_EQ(names(two), (std::vector<std::wstring>{L"right", L"left"}));

    std::vector<MonitorInfo> four{monitor(1920, 1280, false, L"c"), monitor(-1280, 1280, false, L"a"),
                                  monitor(0, 1920, true, L"primary"), monitor(1920, 1280, false, L"d")};
    sortMonitors(four);
    EXPECT_EQ(names(four), (std::vector<std::wstring>{L"primary", L"a", L"c", L"d"}));

    std::vector<MonitorInfo> none;
    sortMonitors(none);
    EXPECT_TRUE(none.empty());
}

TEST(GdiSleepMs, WaitsOutTheRestOfThirtyThreeMilliseconds) {
    const struct {
        int64_t elapsedNs;
        int timeoutMs;
        std::optional<int> sleep;
    } cases[] = {
        {10'000'000, 16, 16}, {10'000'000, 1, 1},      {0, 100, 34},           {32'999'999, 100, 1},
        {32'500'000, 16, 1},  {10'000'000, 0, 0},      {10'000'000, -5, 0},    {33'000'000, 16, std::nullopt},
        {5'000'000'000, 16, std::nullopt}, {-1'000'000, 100, 34},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gdiSleepMs(c.elapsedNs, c.timeoutMs), c.sleep) << c.elapsedNs << " " << c.timeoutMs;
    }
}

TEST(CopyImageRows, DropsThePaddingAfterEachRow) {
    // 3 x 2 pixels, rows 16 bytes apart: 12 bytes of pixels and 4 of padding.
    std::vector<uint8_t> src(32);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i % 16 < 12 ? i : 0xee);
    std::vector<uint8_t> out{1, 2, 3};
    ASSERT_TRUE(copyImageRows(out, src.data(), 16, 3, 2));
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                                         26, 27}));
    ASSERT_TRUE(copyImageRows(out, src.data(), 12, 3, 2));  // rows without padding
    EXPECT_EQ(out, std::vector<uint8_t>(src.begin(), src.begin() + 24));
}

TEST(CopyImageRows, RefusesImpossibleShapes) {
    std::vector<uint8_t> src(64, 1);
    for (const auto& [pitch, width, height] : {std::tuple{11, 3, 2}, {16, 0, 2}, {16, 3, 0}, {16, -1, 2}}) {
        std::vector<uint8_t> out{9};
        EXPECT_FALSE(copyImageRows(out, src.data(), pitch, width, height)) << pitch << " " << width << " " << height;
        EXPECT_EQ(out, std::vector<uint8_t>{9});
    }
}

// A text caret one pixel wide and 16 high, anywhere on the screen, is a change (a check that looks
// at every 61st pixel misses most such carets).
TEST(ChangeDetector, SeesAOnePixelCaretAnywhere) {
    const int width = 640, height = 200;
    std::vector<uint8_t> screen(size_t(width) * height * 4, 0x80);
    ChangeDetector detector;
    EXPECT_TRUE(detector.changed(screen.data(), width, height, width * 4));
    EXPECT_FALSE(detector.changed(screen.data(), width, height, width * 4));
    for (int x = 0; x < 122; ++x) {
        const int top = (x * 7) % (height - 16);
        auto caret = [&](uint8_t level) {
            for (int y = top; y < top + 16; ++y) std::fill_n(screen.begin() + (ptrdiff_t(y) * width + x) * 4, 3, level);
        };
        caret(0);
        ASSERT_TRUE(detector.changed(screen.data(), width, height, width * 4)) << x;
        ASSERT_FALSE(detector.changed(screen.data(), width, height, width * 4)) << x;
        caret(0x80);
        ASSERT_TRUE(detector.changed(screen.data(), width, height, width * 4)) << x;
    }
}

TEST(ChangeDetector, NewSizesAndResetCountAsChangesButPaddingDoesNot) {
    std::vector<uint8_t> image(20 * 10 * 4, 7);  // up to 5 x 10 pixels with a pitch of 20 pixels
    ChangeDetector detector;
    EXPECT_TRUE(detector.changed(image.data(), 5, 10, 80));
    EXPECT_FALSE(detector.changed(image.data(), 5, 10, 80));
    image[5 * 4] = 1;  // beyond the fifth pixel of row 0: padding
    EXPECT_FALSE(detector.changed(image.data(), 5, 10, 80));
    image[9 * 80 + 4 * 4 + 3] = 1;  // alpha of the last pixel
    EXPECT_TRUE(detector.changed(image.data(), 5, 10, 80));
    EXPECT_FALSE(detector.changed(image.data(), 5, 10, 80));
    EXPECT_TRUE(detector.changed(image.data(), 4, 10, 80));
    EXPECT_TRUE(detector.changed(image.data(), 4, 9, 80));
    EXPECT_FALSE(detector.changed(image.data(), 4, 9, 80));
    detector.reset();
    EXPECT_TRUE(detector.changed(image.data(), 4, 9, 80));
}

}  // namespace
