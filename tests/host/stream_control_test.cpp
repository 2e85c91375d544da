#include "host/stream_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/monitors.h"

namespace {

// ---- Set-up ----

TEST(SetupMode, QualityDecidesRateAndPixels) {
    struct Case {
        int fps;
        bool retina;
        int quality;
        SetupMode want;
    } cases[] = {
        {60, true, 0, {60, true}},   {60, false, 0, {60, false}}, {60, true, 1, {60, false}},
        {60, false, 2, {30, true}},  {20, false, 2, {20, true}},
    };
    for (const Case& c : cases) {
        const SetupMode m = setupMode(c.fps, c.retina, c.quality);
        EXPECT_EQ(m.fps, c.want.fps) << c.fps << " q" << c.quality;
        EXPECT_EQ(m.fullPixel, c.want.fullPixel) << c.fps << " q" << c.quality;
    }
}

TEST(EncoderSize, FromRegionViewAndQuality) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        int w, h;
        bool fullPixel;
        double scale;
        int viewW, viewH, quality;
        PictureSize want;
    } cases[] = {
        {"quality 1 halves 4K", 3840, 2160, false, 1.0, 0, 0, 1, {1920, 1080}},
        {"larger than 4096x2304", 5120, 2880, true, 1.0, 0, 0, 0, {4096, 2304}},
        {"tall screen capped by height", 1440, 2560, true, 1.0, 0, 0, 0, {1296, 2304}},
        {"small region raised to 64", 100, 50, true, 1.0, 0, 0, 0, {100, 64}},
        {"view smaller than region", 2560, 1440, true, 1.0, 1280, 720, 0, {1280, 720}},
        {"view larger than region", 1280, 720, true, 1.0, 3000, 2000, 0, {1280, 720}},
        {"view of one side unknown", 2560, 1440, true, 1.0, 1280, 0, 0, {2560, 1440}},
        {"points at scale 1.5", 2880, 1620, false, 1.5, 0, 0, 0, {1920, 1080}},
        {"pixels ignore the scale", 2880, 1620, true, 1.5, 0, 0, 0, {2880, 1620}},
        {"scale 0 counts as 1", 1920, 1080, false, 0.0, 0, 0, 0, {1920, 1080}},
        {"scale NaN counts as 1", 1920, 1080, false, nan, 0, 0, 0, {1920, 1080}},
        {"odd sides rounded down to even", 1365, 767, true, 1.0, 0, 0, 0, {1364, 766}},
    };
    for (const Case& c : cases) {
        const EncoderArea area = encoderArea(c.w, c.h, c.fullPixel, c.scale, c.viewW, c.viewH, c.quality);
        EXPECT_EQ(encoderTrySize(area, 0), c.want) << c.what;
    }
}

TEST(EncoderSize, EachTryShrinksByAFifthDownTo64) {
    const EncoderArea area{1920, 1080};
    const PictureSize want[kEncoderTries] = {{1920, 1080}, {1536, 864}, {1228, 690},
                                             {982, 552},   {786, 442},  {628, 352}};
    for (int i = 0; i < kEncoderTries; ++i) EXPECT_EQ(encoderTrySize(area, i), want[i]) << i;
    EXPECT_EQ(encoderTrySize(EncoderArea{100, 64}, 5), (PictureSize{64, 64}));
}

TEST(SetupRates, CeilingAndStartingRate) {
    struct Case {
        const char* what;
        int w, h, fps, quality, current;
        BitRates want;
    } cases[] = {
        {"1080p60 quality 0", 1920, 1080, 60, 0, 8'000'000, {20'736'000, 8'000'000}},
        {"a lowered rate stays low", 1920, 1080, 60, 0, 4'000'000, {20'736'000, 4'000'000}},
        {"small stream floor of 6 M", 640, 360, 30, 0, 8'000'000, {6'000'000, 6'000'000}},
        {"4K capped at 30 M", 4096, 2304, 60, 0, 8'000'000, {30'000'000, 8'000'000}},
        {"quality 1 ceiling 8 M", 1920, 1080, 60, 1, 9'000'000, {8'000'000, 8'000'000}},
        {"quality 1 small target", 640, 360, 60, 1, 8'000'000, {6'000'000, 6'000'000}},
        {"quality 2 raised to its target", 1920, 1080, 30, 2, 8'000'000, {10'368'000, 10'368'000}},
        {"quality 2 raised to 12 M", 4096, 2304, 30, 2, 8'000'000, {30'000'000, 12'000'000}},
        {"quality 2 keeps a higher rate", 4096, 2304, 30, 2, 20'000'000, {30'000'000, 20'000'000}},
    };
    for (const Case& c : cases) EXPECT_EQ(setupRates(c.w, c.h, c.fps, c.quality, c.current), c.want) << c.what;
}

TEST(RateStep, SkippedPicturesLowerTheRateAndNoneRaiseIt) {
    struct Case {
        int rate, ceiling, skipped, quality, want;
    } cases[] = {
        {8'000'000, 30'000'000, 4, 2, 6'000'000},     // down a quarter
        {4'500'000, 30'000'000, 9, 2, 4'000'000},     // quality 2 floor
        {1'600'000, 20'000'000, 4, 0, 1'500'000},     // floor, not 1,200,000
        {8'000'000, 30'000'000, 3, 0, 8'000'000},     // 1 to 3 skipped: unchanged
        {8'000'000, 30'000'000, 1, 1, 8'000'000},
        {8'000'000, 20'736'000, 0, 0, 8'800'000},     // up a tenth
        {20'000'000, 20'736'000, 0, 0, 20'736'000},   // to the ceiling
        {9'000'000, 8'000'000, 0, 1, 8'000'000},      // above a lowered ceiling: back to it
    };
    for (const Case& c : cases)
        EXPECT_EQ(steppedRate(c.rate, c.ceiling, c.skipped, c.quality), c.want) << c.rate << " " << c.skipped;
}

TEST(InFlightLimit, RoundTripInFramesPlusTwoWithinThreeToEight) {
    EXPECT_EQ(inFlightLimit(40, 60), 4);
    EXPECT_EQ(inFlightLimit(0, 60), 3);
    EXPECT_EQ(inFlightLimit(200, 60), 8);
    EXPECT_EQ(inFlightLimit(120, 30), 5);
    EXPECT_EQ(inFlightLimit(std::numeric_limits<double>::quiet_NaN(), 60), 3);
}

// ---- Acknowledgements ----

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kExpiry = 3000 * kMs;

TEST(FrameWindow, FillsToItsLimitAndAcknowledgementsFreeIt) {
    FrameWindow w;
    for (uint32_t f = 1; f <= 3; ++f) w.sent(f, 0);
    EXPECT_TRUE(w.full());
    EXPECT_TRUE(w.acknowledged(2, 40 * kMs));
    EXPECT_FALSE(w.full());
    EXPECT_EQ(w.inFlight(), 2);
    // The 40 ms round trip sets the limit at the next step: 40 / 16.7 + 2.
    w.step(1000 * kMs, 60, kExpiry);
    EXPECT_EQ(w.limit(), 4);
    EXPECT_DOUBLE_EQ(w.minRttMs(), 40);
}

TEST(FrameWindow, UnknownOrExpiredFramesChangeNothing) {
    FrameWindow w;
    w.sent(1, 0);
    w.sent(2, 0);
    EXPECT_TRUE(w.acknowledged(1, 100 * kMs));
    EXPECT_FALSE(w.acknowledged(1, 120 * kMs));  // already acknowledged
    EXPECT_FALSE(w.acknowledged(7, 120 * kMs));  // never sent
    EXPECT_EQ(w.inFlight(), 1);
    w.step(kExpiry + 1, 60, kExpiry);  // frame 2 expires; the 100 ms sample is the minimum
    EXPECT_EQ(w.inFlight(), 0);
    EXPECT_EQ(w.waiting(), 0u);
    EXPECT_FALSE(w.acknowledged(2, kExpiry + 2));
    w.step(kExpiry + 1000 * kMs, 60, kExpiry);  // no sample: the last minimum holds
    EXPECT_DOUBLE_EQ(w.minRttMs(), 100);
    EXPECT_EQ(w.limit(), 8);
}

TEST(FrameWindow, OnlyFramesOlderThanTheExpiryLeave) {
    FrameWindow w;
    w.sent(1, 0);
    w.sent(2, 2000 * kMs);
    w.step(kExpiry, 60, kExpiry);  // exactly 3 s old stays
    EXPECT_EQ(w.inFlight(), 2);
    w.step(kExpiry + 1, 60, kExpiry);
    EXPECT_EQ(w.inFlight(), 1);
    EXPECT_TRUE(w.acknowledged(2, kExpiry + 2));
    w.reset();
    EXPECT_EQ(w.inFlight(), 0);
    EXPECT_EQ(w.waiting(), 0u);
}

// ---- Caret ----

TEST(CaretReport, ShareOfTheStreamedArea) {
    const ScreenRect display{0, 0, 1920, 1080};
    struct Case {
        const char* what;
        std::optional<ScreenRect> field;
        ScreenRect streamed;
        std::string want;
    } cases[] = {
        {"no text field", std::nullopt, display, "{\"edit\":false}"},
        {"centre of the display", ScreenRect{960, 540, 1260, 570}, display,
         "{\"edit\":true,\"x\":0.5000,\"y\":0.5000,\"w\":0.1562,\"h\":0.0278}"},
        {"outside the area", ScreenRect{2000, 10, 2300, 40}, display, "{\"edit\":true}"},
        {"touching the edge only", ScreenRect{1920, 10, 2200, 40}, display, "{\"edit\":true}"},
        {"cut by the area", ScreenRect{1800, 1070, 2100, 1100}, display,
         "{\"edit\":true,\"x\":0.9375,\"y\":0.9907,\"w\":0.0625,\"h\":0.0093}"},
        {"streamed window", ScreenRect{150, 120, 250, 140}, ScreenRect{100, 100, 500, 400},
         "{\"edit\":true,\"x\":0.1250,\"y\":0.0667,\"w\":0.2500,\"h\":0.0667}"},
        {"empty area", ScreenRect{0, 0, 10, 10}, ScreenRect{5, 5, 5, 100}, "{\"edit\":true}"},
    };
    for (const Case& c : cases) EXPECT_EQ(caretReport(c.field, c.streamed), c.want) << c.what;
}

TEST(CaretReport, NeverTheSameTextTwiceInARow) {
    CaretReports reports;
    EXPECT_EQ(reports.next("{\"edit\":false}"), "{\"edit\":false}");
    EXPECT_EQ(reports.next("{\"edit\":false}"), std::nullopt);
    EXPECT_EQ(reports.next("{\"edit\":true}"), "{\"edit\":true}");
    EXPECT_EQ(reports.next("{\"edit\":false}"), "{\"edit\":false}");
    reports.forget();
    EXPECT_EQ(reports.next("{\"edit\":false}"), "{\"edit\":false}");
}

// ---- The streamed window ----

TEST(WindowCheck, WhatAChangedWindowAsksFor) {
    using A = WindowCheck::Action;
    const ScreenRect display{0, 0, 1920, 1080};
    const ScreenRect atSetup{100, 100, 900, 700};
    auto state = [](bool exists, bool visible, bool minimised, std::optional<ScreenRect> b) {
        WindowState s;
        s.exists = exists;
        s.visible = visible;
        s.minimised = minimised;
        s.bounds = b;
        return s;
    };
    struct Case {
        const char* what;
        WindowState now;
        A action;
        bool minimised;
    } cases[] = {
        {"unchanged", state(true, true, false, atSetup), A::None, false},
        {"closed", state(false, false, false, std::nullopt), A::Lost, false},
        {"minimised", state(true, true, true, atSetup), A::Lost, true},
        {"hidden", state(true, false, false, atSetup), A::Lost, true},
        {"bounds unreadable", state(true, true, false, std::nullopt), A::Lost, true},
        {"moved inside", state(true, true, false, ScreenRect{300, 200, 1100, 800}), A::Follow, false},
        {"moved to the edge", state(true, true, false, ScreenRect{1120, 480, 1920, 1080}), A::Follow, false},
        {"resized", state(true, true, false, ScreenRect{100, 100, 901, 700}), A::Reconfigure, false},
        {"reaching outside", state(true, true, false, ScreenRect{1500, 100, 2300, 700}), A::Reconfigure, false},
    };
    for (const Case& c : cases) {
        const WindowCheck check = checkWindow(c.now, atSetup, display);
        EXPECT_EQ(check.action, c.action) << c.what;
        if (c.action == A::Lost) {
            EXPECT_EQ(check.minimised, c.minimised) << c.what;
        }
        if (c.action == A::Follow) {
            EXPECT_EQ(check.bounds, *c.now.bounds) << c.what;
        }
    }
}

TEST(WindowCheck, DisplayWithTheLargestShareOfTheWindow) {
    const std::vector<MonitorInfo> monitors = {monitorAt(0, 0, 1920, 1080), monitorAt(1920, 0, 3840, 1080)};
    EXPECT_EQ(displayForWindow({1800, 100, 2400, 500}, monitors, 0), 1u);
    EXPECT_EQ(displayForWindow({1500, 100, 2340, 500}, monitors, 1), 0u);  // 420 each: the first
    EXPECT_EQ(displayForWindow({100, 2000, 500, 2400}, monitors, 1), 1u);  // on none: the requested
}

TEST(StreamRegion, WindowOrWholeImageWithEvenSidesOfAtLeast16) {
    const ScreenRect display{1920, 0, 3840, 1080};
    struct Case {
        const char* what;
        std::optional<ScreenRect> area;
        int imageW, imageH;
        StreamRegion want;
        bool inside;
    } cases[] = {
        {"whole display", std::nullopt, 1920, 1080, {0, 0, 1920, 1080}, true},
        {"whole display, odd image", std::nullopt, 1365, 767, {0, 0, 1364, 766}, true},
        {"window", ScreenRect{2020, 50, 2421, 351}, 1920, 1080, {100, 50, 400, 300}, true},
        {"window beyond a smaller image", ScreenRect{3340, 580, 3840, 1080}, 1600, 900, {1420, 580, 180, 320}, true},
        {"tiny window", ScreenRect{1930, 10, 1935, 13}, 1920, 1080, {10, 10, 16, 16}, true},
        {"window past the image", ScreenRect{3830, 10, 3840, 20}, 1600, 900, {1910, 10, 16, 16}, false},
    };
    for (const Case& c : cases) {
        const StreamRegion r = streamRegion(c.area, display, c.imageW, c.imageH);
        EXPECT_EQ(r, c.want) << c.what;
        EXPECT_EQ(regionInside(r, c.imageW, c.imageH), c.inside) << c.what;
    }
}

TEST(StatusState, OnlyANewLockIsLogged) {
    EXPECT_EQ(statusState(true, false), 1);
    EXPECT_EQ(statusState(false, true), 2);
    EXPECT_FALSE(newlyLocked(kStatusUnknown, statusState(true, true)));  // first pass
    EXPECT_TRUE(newlyLocked(statusState(false, true), statusState(true, true)));
    EXPECT_FALSE(newlyLocked(statusState(true, false), statusState(true, true)));
    EXPECT_FALSE(newlyLocked(statusState(true, false), statusState(false, false)));
}

}  // namespace
