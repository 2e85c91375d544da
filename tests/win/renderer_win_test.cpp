#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "media/renderer.h"
#include "support/bgra.h"
#include "support/log_capture.h"
#include "support/paint_window.h"
#include "support/pump_win.h"

namespace {

// An NV12 picture of one luma level and one chroma pair.
struct Picture {
    int width, height, pitch;
    bool fullRange;
    std::vector<uint8_t> bytes;

    Picture(int w, int h, uint8_t luma, uint8_t u = 128, uint8_t v = 128, bool full = false)
        : width(w), height(h), pitch(w + 32), fullRange(full) {
        const int chromaRows = (h + 1) / 2;
        bytes.assign(size_t(pitch) * size_t(h + chromaRows), luma);
        for (int r = 0; r < chromaRows; ++r) {
            uint8_t* row = bytes.data() + size_t(pitch) * size_t(h + r);
            for (int x = 0; x + 1 < pitch; x += 2) {
                row[x] = u;
                row[x + 1] = v;
            }
        }
    }
    DecodedFrame frame() const {
        DecodedFrame f;
        f.y = bytes.data();
        f.uv = bytes.data() + size_t(pitch) * size_t(height);
        f.pitch = pitch;
        f.width = width;
        f.height = height;
        f.fullRange = fullRange;
        return f;
    }
};

const Bgra kBlack{0, 0, 0, 255};
const Bgra kWhite{255, 255, 255, 255};

Bgra at(const VideoRenderer::BackBufferCopy& copy, int x, int y) {
    return bgraAt(copy.bgra.data(), int64_t(copy.width) * 4, x, y);
}

// A renderer drawing into a window of the given client size.
class RendererWin : public ::testing::Test {
protected:
    void open(int width, int height) {
        window_ = std::make_unique<PaintWindow>(RECT{0, 0, width, height}, nullptr);
        ASSERT_NE(window_->hwnd(), nullptr);
        renderer_.keepBackBufferCopies(true);
        ASSERT_TRUE(renderer_.init(window_->hwnd()));
        EXPECT_EQ(renderer_.backBuffer().width, width);
        EXPECT_EQ(renderer_.backBuffer().height, height);
    }
    const VideoRenderer::BackBufferCopy& draw(const Picture& picture) {
        renderer_.upload(picture.frame());
        renderer_.present();
        return renderer_.lastBackBuffer();
    }
    void TearDown() override {
        renderer_.release();
        window_.reset();
        pumpMessages();
    }

    std::unique_ptr<PaintWindow> window_;
    VideoRenderer renderer_;
};

TEST_F(RendererWin, BlackBeforeAnyPicture) {
    open(64, 48);
    renderer_.present();
    const VideoRenderer::BackBufferCopy& copy = renderer_.lastBackBuffer();
    ASSERT_EQ(copy.width, 64);
    ASSERT_EQ(copy.height, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(at(copy, x, y), kBlack) << x << "," << y;
}

TEST_F(RendererWin, LumaLevelsOfBothRanges) {
    open(64, 64);
    const struct {
        uint8_t luma;
        bool fullRange;
        int expected;
    } cases[] = {
        {16, false, 0}, {235, false, 255}, {126, false, 128}, {0, false, 0}, {255, false, 255},
        {0, true, 0},   {255, true, 255},  {128, true, 128},
    };
    for (const auto& c : cases) {
        const Bgra seen = at(draw(Picture(64, 64, c.luma, 128, 128, c.fullRange)), 32, 32);
        SCOPED_TRACE(testing::Message() << "luma " << int(c.luma) << (c.fullRange ? " full" : " limited") << " " << seen);
        EXPECT_LE(std::abs(seen.g - c.expected), 1);
        // Chroma 128 is neutral: grey, not tinted.
        EXPECT_EQ(seen.b, seen.g);
        EXPECT_EQ(seen.r, seen.g);
        EXPECT_EQ(seen.a, 255);
    }
}

// The shader's chroma terms, as it draws them: limited-range BT.709 primaries come out as the
// primaries (the luma cases above see only neutral chroma).
TEST_F(RendererWin, PrimariesOfALimitedRangePicture) {
    open(64, 64);
    const struct {
        uint8_t y, u, v;
        Bgra expected;
    } cases[] = {
        {63, 102, 240, {0, 0, 255, 255}},  // red
        {173, 42, 26, {0, 255, 0, 255}},   // green
        {32, 240, 118, {255, 0, 0, 255}},  // blue
    };
    for (const auto& c : cases) {
        const Bgra seen = at(draw(Picture(64, 64, c.y, c.u, c.v)), 32, 32);
        SCOPED_TRACE(testing::Message() << int(c.y) << "," << int(c.u) << "," << int(c.v) << " " << seen);
        EXPECT_LE(std::abs(seen.b - c.expected.b), 3);
        EXPECT_LE(std::abs(seen.g - c.expected.g), 3);
        EXPECT_LE(std::abs(seen.r - c.expected.r), 3);
    }
}

TEST_F(RendererWin, WidePictureIsLetterboxed) {
    open(1000, 1000);
    // The viewport is 1000 x 562.5 at (0, 218.75): rows 219 to 779 hold the picture. The
    // fractional rows 218 and 780 are left to the rasteriser.
    const VideoRenderer::BackBufferCopy& copy = draw(Picture(1920, 1080, 235));
    ASSERT_EQ(copy.width, 1000);
    for (int x : {0, 500, 999}) {
        EXPECT_EQ(at(copy, x, 217), kBlack) << x;
        EXPECT_EQ(at(copy, x, 218), kBlack) << x;
        EXPECT_EQ(at(copy, x, 219), kWhite) << x;
        EXPECT_EQ(at(copy, x, 500), kWhite) << x;
        EXPECT_EQ(at(copy, x, 779), kWhite) << x;
        EXPECT_EQ(at(copy, x, 781), kBlack) << x;
        EXPECT_EQ(at(copy, x, 999), kBlack) << x;
    }
}

TEST_F(RendererWin, OddSizesDropTheirLastRowAndColumn) {
    open(1366, 768);
    // Uploaded as 1366 x 768 the picture fills the window exactly; 769 rows would leave side bars.
    const VideoRenderer::BackBufferCopy& copy = draw(Picture(1366, 769, 235));
    EXPECT_EQ(renderer_.textureSize().width, 1366);
    EXPECT_EQ(renderer_.textureSize().height, 768);
    for (int y : {0, 384, 767}) {
        EXPECT_EQ(at(copy, 0, y), kWhite) << y;
        EXPECT_EQ(at(copy, 1365, y), kWhite) << y;
    }
}

TEST_F(RendererWin, TexturesAreMadeAgainOnlyForANewSize) {
    open(64, 64);
    const struct {
        int width, height;
        int creations;
    } steps[] = {{64, 64, 1}, {64, 64, 1}, {66, 64, 2}, {67, 65, 2}, {66, 64, 2}, {64, 64, 3}, {64, 64, 3}};
    for (const auto& s : steps) {
        draw(Picture(s.width, s.height, 235));
        EXPECT_EQ(renderer_.textureCreations(), s.creations) << s.width << "x" << s.height;
        EXPECT_EQ(at(renderer_.lastBackBuffer(), 32, 32), kWhite);
    }
}

TEST_F(RendererWin, FollowsTheWindowDownToZeroHeight) {
    open(200, 100);
    SetWindowPos(window_->hwnd(), nullptr, 0, 0, 200, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    renderer_.resizeIfNeeded();
    EXPECT_EQ(renderer_.backBuffer().width, 200);
    EXPECT_EQ(renderer_.backBuffer().height, 1);
    const VideoRenderer::BackBufferCopy& flat = draw(Picture(64, 64, 235));
    EXPECT_EQ(flat.width, 200);
    EXPECT_EQ(flat.height, 1);

    SetWindowPos(window_->hwnd(), nullptr, 0, 0, 120, 90, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    renderer_.resizeIfNeeded();
    renderer_.present();
    const VideoRenderer::BackBufferCopy& copy = renderer_.lastBackBuffer();
    ASSERT_EQ(copy.width, 120);
    ASSERT_EQ(copy.height, 90);
    EXPECT_EQ(at(copy, 60, 45), kWhite);
    EXPECT_EQ(at(copy, 5, 45), kBlack);  // 90 x 90 picture centred
}

TEST_F(RendererWin, ALostDeviceIsMadeAgainBeforeTheNextPicture) {
    for (HRESULT lost : {DXGI_ERROR_DEVICE_REMOVED, DXGI_ERROR_DEVICE_RESET}) {
        SCOPED_TRACE(testing::Message() << "hr " << long(lost));
        LogCapture log;
        open(64, 64);
        int presents = 0;
        renderer_.setPresentHook([&](HRESULT hr) { return ++presents == 1 ? lost : hr; });
        draw(Picture(64, 64, 235));
        EXPECT_NE(log.text().find(" D3D11 장치 잃음 hr=" + std::to_string(long(lost)) + "\n"), std::string::npos)
            << log.text();
        EXPECT_EQ(at(draw(Picture(64, 64, 126)), 32, 32), (Bgra{128, 128, 128, 255}));
        EXPECT_EQ(at(draw(Picture(64, 64, 16)), 32, 32), kBlack);
        EXPECT_EQ(presents, 3);
        renderer_.setPresentHook(nullptr);
        TearDown();
    }
}

// A device that cannot be set up again is tried at most once a second and its failure logged
// once, not at every upload, present and resize.
TEST_F(RendererWin, ADeviceThatCannotBeMadeAgainIsRetriedSparinglyAndLoggedOnce) {
    LogCapture log;
    open(64, 64);
    int attempts = 0;
    renderer_.setSetUpHook([&attempts](std::string& failure) {
        ++attempts;
        failure = "D3D11 장치 실패";
        return false;
    });
    renderer_.setPresentHook([](HRESULT) { return DXGI_ERROR_DEVICE_REMOVED; });
    draw(Picture(64, 64, 235));
    renderer_.setPresentHook(nullptr);
    const Picture picture(64, 64, 126);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        renderer_.upload(picture.frame());
        renderer_.present();
        renderer_.resizeIfNeeded();
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(attempts, 1);
    EXPECT_LE(attempts, 1 + int(seconds.count()));
    const std::string text = log.text();
    size_t failures = 0;
    for (size_t at = text.find(" D3D11 장치 실패\n"); at != std::string::npos; at = text.find(" D3D11 장치 실패\n", at + 1))
        ++failures;
    EXPECT_EQ(failures, 1u) << text;
    EXPECT_EQ(renderer_.backBuffer().width, 0);  // nothing set up

    renderer_.setSetUpHook(nullptr);  // the device can be made again: the next attempt draws
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (renderer_.backBuffer().width == 0 && std::chrono::steady_clock::now() < until) {
        renderer_.present();
        Sleep(10);
    }
    EXPECT_EQ(at(draw(Picture(64, 64, 235)), 32, 32), kWhite);
}

// A renderer that cannot be set up says why and returns false; until an init works, every later
// call does nothing: nothing is presented, no back buffer is followed, nothing more is logged. An
// init that works then draws as usual. (Wine makes a swap chain even for a destroyed window's
// handle, so only a missing window fails for real here; a device that cannot be made comes from
// the set-up hook.)
TEST_F(RendererWin, AFailedInitIsLoggedAndLeavesTheRendererInert) {
    PaintWindow window(RECT{0, 0, 64, 64}, nullptr);
    ASSERT_NE(window.hwnd(), nullptr);
    const struct {
        const char* what;
        HWND window;
        bool deviceFails;
        std::string line;
    } cases[] = {
        {"no window", nullptr, false, "스왑 체인 실패"},
        {"no device", window.hwnd(), true, "D3D11 장치 실패"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VideoRenderer renderer;
        renderer.keepBackBufferCopies(true);
        int presents = 0;
        renderer.setPresentHook([&presents](HRESULT hr) {
            ++presents;
            return hr;
        });
        if (c.deviceFails) {
            renderer.setSetUpHook([](std::string& failure) {
                failure = "D3D11 장치 실패";
                return false;
            });
        }
        LogCapture log;
        EXPECT_FALSE(renderer.init(c.window));
        EXPECT_EQ(log.count(" " + c.line + "\n"), 1) << log.text();
        const Picture picture(64, 64, 235);
        for (int i = 0; i < 3; ++i) {
            renderer.upload(picture.frame());
            renderer.present();
            renderer.resizeIfNeeded();
        }
        EXPECT_EQ(presents, 0);
        EXPECT_EQ(renderer.lastBackBuffer().width, 0);
        EXPECT_EQ(renderer.backBuffer().width, 0);
        EXPECT_EQ(log.count("\n"), 1) << log.text();

        // The viewer's retry: release, then init again once the window and device can be had.
        renderer.release();
        renderer.setSetUpHook(nullptr);
        ASSERT_TRUE(renderer.init(window.hwnd()));
        renderer.upload(picture.frame());
        renderer.present();
        EXPECT_EQ(presents, 1);
        EXPECT_EQ(at(renderer.lastBackBuffer(), 32, 32), kWhite);
        renderer.release();
    }
    pumpMessages();
}

}  // namespace
