// The whole picture path between two screens: a window's colours grabbed with GDI, converted to
// NV12, encoded by the stand-in encoder, packed as the stream sends it, decoded by the system's
// decoder and drawn by the renderer into a second window.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "media/capture.h"
#include "media/convert.h"
#include "media/decoder.h"
#include "media/encoder.h"
#include "media/renderer.h"
#include "media/stream.h"
#include "support/bgra.h"
#include "support/mf_test.h"
#include "support/paint_window.h"
#include "support/pump_win.h"
#include "support/screenshot.h"
#include "support/stand_in_encoder_win.h"

namespace {

constexpr int kWidth = 256, kHeight = 192;
constexpr RECT kSource{40, 40, 40 + kWidth, 40 + kHeight};
constexpr RECT kShown{340, 40, 340 + kWidth, 40 + kHeight};

// Six patches with even edges, so that no 2 x 2 chroma block mixes two colours.
struct Patch {
    RECT area;  // in the window
    COLORREF colour;
};
const Patch kPatches[] = {
    {{0, 0, 86, 96}, RGB(255, 0, 0)},      {{86, 0, 172, 96}, RGB(0, 255, 0)},
    {{172, 0, 256, 96}, RGB(0, 0, 255)},   {{0, 96, 86, 192}, RGB(255, 255, 255)},
    {{86, 96, 172, 192}, RGB(0, 0, 0)},    {{172, 96, 256, 192}, RGB(128, 128, 128)},
};

void paintPatches(HDC dc, const RECT&) {
    for (const Patch& p : kPatches) fillRect(dc, p.area, p.colour);
}

bool screenShowsPatches() {
    HDC screen = GetDC(nullptr);
    bool all = true;
    for (const Patch& p : kPatches)
        all = all && GetPixel(screen, kSource.left + p.area.left + 4, kSource.top + p.area.top + 4) == p.colour;
    ReleaseDC(nullptr, screen);
    return all;
}

class MediaEndToEnd : public MediaFoundationTest {};

TEST_F(MediaEndToEnd, PaintedColoursComeBackOnTheOtherScreen) {
    LocalStandInEncoder standIn;
    ASSERT_TRUE(standIn.registered());
    PaintWindow source(kSource, paintPatches);
    PaintWindow shown(kShown, nullptr);
    ASSERT_TRUE(pumpUntil(screenShowsPatches));

    // Host: grab the screen, crop the window, convert, encode, pack.
    ScreenCapturer capturer;
    const std::vector<MonitorInfo> monitors = listMonitors();
    ASSERT_FALSE(monitors.empty());
    ASSERT_TRUE(capturer.open(monitors[0]));
    ASSERT_EQ(capturer.grab(16), 1);
    ASSERT_TRUE(capturer.mapFrame());
    Bytes nv12(size_t(kWidth) * kHeight * 3 / 2);
    convertBgraToNv12(capturer.pixels() + ptrdiff_t(kSource.top) * capturer.pitch() + ptrdiff_t(kSource.left) * 4,
                      kWidth, kHeight, capturer.pitch(), nv12.data(), kWidth, kHeight);
    capturer.unmapFrame();

    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(kWidth, kHeight, 30, 6'000'000));
    // Viewer: the decoder hands pictures out some inputs after the first; the same picture is
    // sent until one comes out.
    VideoDecoder decoder(false);
    VideoRenderer renderer;
    renderer.keepBackBufferCopies(true);
    ASSERT_TRUE(renderer.init(shown.hwnd()));
    bool configured = false;
    int pictures = 0;
    for (int sent = 0; sent < 40 && pictures == 0; ++sent) {
        Bytes annexB;
        bool key = false;
        ASSERT_TRUE(encoder.encode(nv12.data(), sent == 0, annexB, key));
        if (annexB.empty()) continue;
        const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
        if (unit.keyFrame && !configured) {
            StreamHeader header;
            header.width = kWidth;
            header.height = kHeight;
            header.parameterSets = unit.parameterSets;
            ASSERT_TRUE(decoder.configure(StreamHeader::encode(header)));
            configured = true;
        }
        ASSERT_TRUE(configured) << "the first picture out of the encoder is a key frame";
        ASSERT_TRUE(decoder.decode(unit.payload, unit.keyFrame, [&](const DecodedFrame& frame) {
            ++pictures;
            renderer.upload(frame);
            renderer.present();
        }));
    }
    ASSERT_GT(pictures, 0) << "the decoder gave no picture";

    const VideoRenderer::BackBufferCopy& copy = renderer.lastBackBuffer();
    ASSERT_EQ(copy.width, kWidth);
    ASSERT_EQ(copy.height, kHeight);
    for (const Patch& p : kPatches) {
        const Bgra painted{GetBValue(p.colour), GetGValue(p.colour), GetRValue(p.colour), 255};
        for (const POINT inside : {POINT{p.area.left + 4, p.area.top + 4}, POINT{p.area.right - 5, p.area.bottom - 5},
                                   POINT{(p.area.left + p.area.right) / 2, (p.area.top + p.area.bottom) / 2}}) {
            const Bgra seen = bgraAt(copy.bgra.data(), int64_t(copy.width) * 4, int(inside.x), int(inside.y));
            SCOPED_TRACE(testing::Message() << "at " << inside.x << "," << inside.y << " painted " << painted
                                            << " seen " << seen);
            EXPECT_LE(std::abs(seen.b - painted.b), 3);
            EXPECT_LE(std::abs(seen.g - painted.g), 3);
            EXPECT_LE(std::abs(seen.r - painted.r), 3);
            EXPECT_EQ(seen.a, 255);
        }
    }
    pumpFor(50);
    EXPECT_TRUE(saveScreenshot(RECT{kSource.left, kSource.top, kShown.right, kShown.bottom}, "media-e2e"));
    renderer.release();
}

}  // namespace
