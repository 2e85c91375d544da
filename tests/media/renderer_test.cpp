#include <gtest/gtest.h>

#include <algorithm>

#include "media/renderer.h"

namespace {

TEST(Letterbox, FitsCentresAndKeepsTheAspect) {
    const struct {
        int32_t pw, ph, bw, bh;
        float x, y, w, h;
    } cases[] = {
        {1920, 1080, 1000, 1000, 0.0f, 218.75f, 1000.0f, 562.5f},  // bars above and below
        {1000, 1000, 1920, 1080, 420.0f, 0.0f, 1080.0f, 1080.0f},  // bars left and right
        {1280, 720, 1280, 720, 0.0f, 0.0f, 1280.0f, 720.0f},       // exact
        {640, 360, 1920, 1080, 0.0f, 0.0f, 1920.0f, 1080.0f},      // scaled up
        {1920, 1080, 1, 1, 0.0f, 0.21875f, 1.0f, 0.5625f},         // smallest back buffer
    };
    for (const auto& c : cases) {
        const Viewport v = letterbox(c.pw, c.ph, c.bw, c.bh);
        EXPECT_FLOAT_EQ(v.x, c.x) << c.pw << "x" << c.ph << " in " << c.bw << "x" << c.bh;
        EXPECT_FLOAT_EQ(v.y, c.y) << c.pw << "x" << c.ph << " in " << c.bw << "x" << c.bh;
        EXPECT_FLOAT_EQ(v.width, c.w) << c.pw << "x" << c.ph << " in " << c.bw << "x" << c.bh;
        EXPECT_FLOAT_EQ(v.height, c.h) << c.pw << "x" << c.ph << " in " << c.bw << "x" << c.bh;
    }
    const Viewport none = letterbox(0, 1080, 1000, 1000);
    EXPECT_EQ(none.width, 0.0f);
    EXPECT_EQ(none.height, 0.0f);
}

TEST(RendererSizes, UploadsEvenAndBackBuffersAtLeastOne) {
    EXPECT_EQ(uploadSize(1366, 769).width, 1366);
    EXPECT_EQ(uploadSize(1366, 769).height, 768);
    EXPECT_EQ(uploadSize(1, 1).width, 0);
    EXPECT_EQ(uploadSize(-3, 5).height, 4);
    EXPECT_EQ(backBufferSize(800, 0).height, 1);
    EXPECT_EQ(backBufferSize(0, 600).width, 1);
    EXPECT_EQ(backBufferSize(800, 600).width, 800);
    EXPECT_EQ(backBufferSize(800, 600).height, 600);
}

// The pixel shader's arithmetic, for one sample: luma and chroma in 0..1 as the texture gives them.
struct Rgb {
    float r, g, b;
};
Rgb shade(int y, int u, int v, bool fullRange) {
    const auto k = rangeConstants(fullRange);
    const float luma = (float(y) / 255.0f - k[0]) * k[1];
    const float cb = (float(u) / 255.0f - k[3]) * k[2], cr = (float(v) / 255.0f - k[3]) * k[2];
    auto sat = [](float x) { return std::clamp(x, 0.0f, 1.0f); };
    return {sat(luma + 1.5748f * cr), sat(luma - 0.1873f * cb - 0.4681f * cr), sat(luma + 1.8556f * cb)};
}

TEST(RangeConstants, BlackWhiteAndNeutralChromaInBothRanges) {
    const struct {
        bool full;
        int y;
        float level;
    } cases[] = {{false, 16, 0.0f}, {false, 235, 1.0f}, {false, 126, 110.0f / 219.0f}, {true, 0, 0.0f}, {true, 255, 1.0f}};
    for (const auto& c : cases) {
        const Rgb p = shade(c.y, 128, 128, c.full);
        EXPECT_NEAR(p.r, c.level, 1e-6) << c.y;
        EXPECT_NEAR(p.g, c.level, 1e-6) << c.y;
        EXPECT_NEAR(p.b, c.level, 1e-6) << c.y;
    }
    const auto limited = rangeConstants(false);
    EXPECT_FLOAT_EQ(limited[0], 0.0627451f);
    EXPECT_FLOAT_EQ(limited[1], 1.1643835f);
    EXPECT_FLOAT_EQ(limited[2], 1.1383928f);
    // Limited-range pure red (Y 63, U 102, V 240) draws red.
    const Rgb red = shade(63, 102, 240, false);
    EXPECT_NEAR(red.r, 1.0f, 0.01f);
    EXPECT_NEAR(red.g, 0.0f, 0.01f);
    EXPECT_NEAR(red.b, 0.0f, 0.01f);
}

}  // namespace

// A lost device is set up again at once, then at most once a second; the same failure is logged
// once, a different one again.
TEST(RecoveryPacer, TriesOnceASecondAndLogsEachNewFailureOnce) {
    constexpr int64_t second = 1'000'000'000;
    RecoveryPacer pacer;
    const int64_t t0 = 50 * second;
    EXPECT_TRUE(pacer.attempt(t0));
    EXPECT_TRUE(pacer.logFailure("스왑 체인 실패"));
    int attempts = 0;
    for (int64_t t = t0; t < t0 + 3 * second + second / 2; t += second / 120) {  // 120 calls a second
        if (pacer.attempt(t)) {
            ++attempts;
            EXPECT_FALSE(pacer.logFailure("스왑 체인 실패"));
        }
    }
    EXPECT_EQ(attempts, 3);  // the first call at or after each whole second
    EXPECT_TRUE(pacer.attempt(t0 + 5 * second));
    EXPECT_TRUE(pacer.logFailure("D3D11 장치 실패"));
    EXPECT_FALSE(pacer.logFailure("D3D11 장치 실패"));
    EXPECT_TRUE(pacer.attempt(t0 + 4 * second));  // the clock went back: not held for a second

    pacer.recovered();  // a later loss tries at once and logs again
    EXPECT_TRUE(pacer.attempt(t0 + 4 * second + 1));
    EXPECT_TRUE(pacer.logFailure("D3D11 장치 실패"));
}
