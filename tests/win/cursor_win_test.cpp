#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <optional>
#include <vector>

#include "media/capture.h"
#include "media/cursor.h"
#include "media/png.h"
#include "support/bgra.h"
#include "support/com_scope.h"
#include "support/paint_window.h"
#include "support/png_fixture.h"
#include "support/pump_win.h"

namespace {

const Bgra kBlack{0, 0, 0, 255};
const Bgra kWhite{255, 255, 255, 255};
const Bgra kClear{0, 0, 0, 0};

Bgra pixelAt(const Bytes& bgra, int width, int x, int y) { return bgraAt(bgra.data(), int64_t(width) * 4, x, y); }

// A decoded cursor message.
struct Shape {
    CursorShapeMessage message;
    Bytes pixels;
    int width = 0, height = 0;
};
std::optional<Shape> readMessage(const Bytes& payload) {
    std::optional<CursorShapeMessage> m = CursorShapeMessage::read(payload);
    if (!m) return std::nullopt;
    Shape s;
    s.message = *m;
    if (!decodePng(m->png, s.pixels, s.width, s.height, kMaxCursorPixels)) return std::nullopt;
    return s;
}

// The message a poll yields, with its numbers and its image checked against a shape of
// width x height pixels on a monitor of scale 1.
std::optional<Shape> pollShape(CursorCapturer& capturer, float hotX, float hotY, int width, int height) {
    Bytes out;
    if (!capturer.poll(out)) {
        ADD_FAILURE() << "no message";
        return std::nullopt;
    }
    std::optional<Shape> shape = readMessage(out);
    if (!shape) {
        ADD_FAILURE() << "the message does not read";
        return std::nullopt;
    }
    EXPECT_EQ(shape->message.hotX, hotX);
    EXPECT_EQ(shape->message.hotY, hotY);
    EXPECT_EQ(shape->message.width, float(width));
    EXPECT_EQ(shape->message.height, float(height));
    if (shape->width != width || shape->height != height) {
        ADD_FAILURE() << "image of " << shape->width << "x" << shape->height;
        return std::nullopt;
    }
    return shape;
}

// Sets bit (x, y) of a 1-bit plane with 32-pixel rows.
void setBit(std::vector<uint8_t>& plane, int x, int y) { plane[size_t(y) * 4 + size_t(x / 8)] |= uint8_t(0x80 >> (x % 8)); }

// A 32 x 32 monochrome text beam: the stem at x = 15, rows 6 to 25, inverts the screen; all else
// is transparent.
HCURSOR makeTextBeam() {
    std::vector<uint8_t> andPlane(32 * 4, 0xFF), xorPlane(32 * 4, 0);
    for (int y = 6; y <= 25; ++y) setBit(xorPlane, 15, y);
    return CreateCursor(GetModuleHandleW(nullptr), 15, 16, 32, 32, andPlane.data(), xorPlane.data());
}

// A 32 x 32 colour pointer: a red square from (8, 8) to (23, 23) on black. Without alpha the
// mask (clear in the square) says what shows; with it, the square's alpha is 255, one pixel's 128.
HCURSOR makeColourPointer(bool withAlpha) {
    const BITMAPINFO info = topDownBgraInfo(32, 32);
    void* bits = nullptr;
    HDC dc = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, dc);
    auto* p = static_cast<uint8_t*>(bits);
    std::vector<uint8_t> mask(32 * 4, 0xFF);
    for (int y = 8; y < 24; ++y) {
        for (int x = 8; x < 24; ++x) {
            p[(y * 32 + x) * 4 + 2] = 255;
            if (withAlpha) p[(y * 32 + x) * 4 + 3] = 255;
            mask[size_t(y) * 4 + size_t(x / 8)] &= uint8_t(~(0x80 >> (x % 8)));
        }
    }
    if (withAlpha) p[(12 * 32 + 12) * 4 + 3] = 128;
    HBITMAP maskBitmap = CreateBitmap(32, 32, 1, 1, mask.data());
    ICONINFO icon{FALSE, 4, 5, maskBitmap, colour};
    HCURSOR cursor = reinterpret_cast<HCURSOR>(CreateIconIndirect(&icon));
    DeleteObject(maskBitmap);
    DeleteObject(colour);
    return cursor;
}

HCURSOR currentCursor() {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    return GetCursorInfo(&info) && (info.flags & CURSOR_SHOWING) ? info.hCursor : nullptr;
}

// The system reports the pointer of the foreground window's thread: a window of ours in front
// with the given pointer, and the pointer moved over it.
class CursorWin : public ::testing::Test {
protected:
    static constexpr RECT kArea{400, 300, 600, 500};

    void show(HCURSOR cursor) {
        if (!window_) {
            window_ = std::make_unique<PaintWindow>(kArea, [](HDC dc, const RECT& r) { fillRect(dc, r, RGB(90, 90, 90)); });
        }
        window_->setCursor(cursor);
        SetForegroundWindow(window_->hwnd());
        nudge_ = !nudge_;
        SetCursorPos(500 + (nudge_ ? 1 : 0), 400);
        ASSERT_TRUE(pumpUntil([&] { return currentCursor() == cursor; })) << "the pointer did not take the shape";
    }
    void TearDown() override { window_.reset(); }

    ComScope com_;
    std::unique_ptr<PaintWindow> window_;
    bool nudge_ = false;
};

TEST_F(CursorWin, TextBeamIsBlackWithAWhiteOutlineAndSentOnlyOnChanges) {
    HCURSOR beam = makeTextBeam();
    ASSERT_NE(beam, nullptr);
    ASSERT_NO_FATAL_FAILURE(show(beam));
    CursorCapturer capturer;
    std::optional<Shape> shape = pollShape(capturer, 15, 16, 32, 32);
    ASSERT_TRUE(shape);
    for (int y = 6; y <= 25; ++y) {
        EXPECT_EQ(pixelAt(shape->pixels, 32, 15, y), kBlack) << y;
        EXPECT_EQ(pixelAt(shape->pixels, 32, 14, y), kWhite) << y;
        EXPECT_EQ(pixelAt(shape->pixels, 32, 16, y), kWhite) << y;
        EXPECT_EQ(pixelAt(shape->pixels, 32, 13, y), kClear) << y;
    }
    EXPECT_EQ(pixelAt(shape->pixels, 32, 14, 5), kWhite);
    EXPECT_EQ(pixelAt(shape->pixels, 32, 15, 26), kWhite);
    EXPECT_EQ(pixelAt(shape->pixels, 32, 15, 4), kClear);
    EXPECT_EQ(pixelAt(shape->pixels, 32, 0, 0), kClear);

    // Moving the pointer without a new shape sends nothing.
    Bytes out;
    EXPECT_FALSE(capturer.poll(out));
    SetCursorPos(450, 350);
    pumpFor(50);
    EXPECT_FALSE(capturer.poll(out));

    // Hiding sends one transparent pixel; showing the same shape again sends it again, once.
    ShowCursor(FALSE);
    ASSERT_TRUE(pumpUntil([] { return currentCursor() == nullptr; }));
    std::optional<Shape> hidden = pollShape(capturer, 0, 0, 1, 1);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(pixelAt(hidden->pixels, 1, 0, 0).a, 0);
    EXPECT_FALSE(capturer.poll(out));

    ShowCursor(TRUE);
    ASSERT_TRUE(pumpUntil([&] { return currentCursor() == beam; }));
    std::optional<Shape> again = pollShape(capturer, 15, 16, 32, 32);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->pixels, shape->pixels);
    EXPECT_FALSE(capturer.poll(out));

    window_.reset();
    DestroyCursor(beam);
}

TEST_F(CursorWin, ColourPointersKeepTheirAlphaOrTakeItFromTheMask) {
    for (bool withAlpha : {false, true}) {
        SCOPED_TRACE(withAlpha ? "with alpha" : "without alpha");
        HCURSOR pointer = makeColourPointer(withAlpha);
        ASSERT_NE(pointer, nullptr);
        ASSERT_NO_FATAL_FAILURE(show(pointer));
        CursorCapturer capturer;
        std::optional<Shape> shape = pollShape(capturer, 4, 5, 32, 32);
        ASSERT_TRUE(shape);
        EXPECT_EQ(pixelAt(shape->pixels, 32, 8, 8), (Bgra{0, 0, 255, 255}));
        EXPECT_EQ(pixelAt(shape->pixels, 32, 23, 23), (Bgra{0, 0, 255, 255}));
        EXPECT_EQ(pixelAt(shape->pixels, 32, 12, 12), (Bgra{0, 0, 255, withAlpha ? 128 : 255}));
        EXPECT_EQ(pixelAt(shape->pixels, 32, 7, 8), kClear);
        EXPECT_EQ(pixelAt(shape->pixels, 32, 24, 23), kClear);
        ASSERT_NO_FATAL_FAILURE(show(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW))));
        DestroyCursor(pointer);
    }
}

// The cursor's image and hot spot as the system reports them.
struct MadeCursor {
    int width = 0, height = 0, hotX = 0, hotY = 0;
    Bytes pixels;
};
std::optional<MadeCursor> readBack(HCURSOR cursor) {
    ICONINFO icon{};
    if (!cursor || !GetIconInfo(cursor, &icon)) return std::nullopt;
    MadeCursor made;
    made.hotX = int(icon.xHotspot);
    made.hotY = int(icon.yHotspot);
    BITMAP bm{};
    bool ok = icon.hbmColor && GetObjectW(icon.hbmColor, sizeof bm, &bm);
    if (ok) {
        made.width = bm.bmWidth;
        made.height = bm.bmHeight;
        BITMAPINFO info = topDownBgraInfo(made.width, made.height);
        made.pixels.resize(size_t(made.width) * size_t(made.height) * 4);
        HDC dc = GetDC(nullptr);
        ok = GetDIBits(dc, icon.hbmColor, 0, UINT(made.height), made.pixels.data(), &info, DIB_RGB_COLORS) ==
             made.height;
        ReleaseDC(nullptr, dc);
    }
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
    if (icon.hbmMask) DeleteObject(icon.hbmMask);
    return ok ? std::optional<MadeCursor>(made) : std::nullopt;
}

Bytes cursorMessage(float hotX, float hotY, float width, float height, const Bytes& png) {
    CursorShapeMessage m;
    m.hotX = hotX;
    m.hotY = hotY;
    m.width = width;
    m.height = height;
    m.png = png;
    return m.write();
}

Bytes pngOf(const Bytes& bgra, int width, int height) {
    Bytes png;
    encodePng(png, bgra.data(), width, height, width * 4);
    return png;
}

TEST(MakeCursorWin, ScalesTheImageAndHotSpotToTheViewer) {
    ComScope com;
    // 4 x 4, every pixel its own colour, one transparent.
    Bytes image(4 * 4 * 4);
    for (int i = 0; i < 16; ++i) {
        image[size_t(i) * 4 + 0] = uint8_t(i * 16);
        image[size_t(i) * 4 + 1] = uint8_t(255 - i * 16);
        image[size_t(i) * 4 + 2] = uint8_t(i * 5);
        image[size_t(i) * 4 + 3] = 255;
    }
    std::fill_n(image.begin() + 5 * 4, 4, uint8_t(0));
    HCURSOR cursor = makeCursorFromMessage(cursorMessage(1, 2, 4, 4, pngOf(image, 4, 4)), 2.0);
    std::optional<MadeCursor> made = readBack(cursor);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->width, 8);
    EXPECT_EQ(made->height, 8);
    EXPECT_EQ(made->hotX, 2);
    EXPECT_EQ(made->hotY, 4);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(pixelAt(made->pixels, 8, x, y), pixelAt(image, 4, x / 2, y / 2)) << x << "," << y;
    DestroyCursor(cursor);
}

TEST(MakeCursorWin, SizesAreRoundedAndKeptWithinLimits) {
    ComScope com;
    const Bytes png = pngOf(Bytes(32 * 32 * 4, 255), 32, 32);
    const struct {
        float hotX, hotY, width, height;
        double scale;
        int expectWidth, expectHeight, expectHotX, expectHotY;
    } cases[] = {
        {4, 4, 21.333334f, 21.333334f, 1.0, 21, 21, 4, 4},
        {300, 2, 300, 10, 1.0, 256, 10, 255, 2},  // over 256: 256, hot spot inside
        {10, 10, 128, 128, 3.0, 256, 256, 30, 30},
        {-5, 40, 0.2f, 32, 1.0, 1, 32, 0, 31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.scale);
        HCURSOR cursor = makeCursorFromMessage(cursorMessage(c.hotX, c.hotY, c.width, c.height, png), c.scale);
        std::optional<MadeCursor> made = readBack(cursor);
        ASSERT_TRUE(made);
        EXPECT_EQ(made->width, c.expectWidth);
        EXPECT_EQ(made->height, c.expectHeight);
        EXPECT_EQ(made->hotX, c.expectHotX);
        EXPECT_EQ(made->hotY, c.expectHotY);
        DestroyCursor(cursor);
    }
}

TEST(MakeCursorWin, UnusableMessagesGiveNoCursor) {
    ComScope com;
    const Bytes good = pngOf(Bytes(2 * 2 * 4, 255), 2, 2);
    Bytes fifteen = cursorMessage(1, 1, 2, 2, good);
    fifteen.resize(15);
    const Bytes largest = pngOf(Bytes(1024 * 1024 * 4, 255), 1024, 1024);
    const Bytes tooLarge = pngOf(Bytes(1025 * 1024 * 4, 255), 1025, 1024);
    ASSERT_FALSE(largest.empty());
    ASSERT_FALSE(tooLarge.empty());
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"15 bytes", fifteen},
        {"no image", cursorMessage(1, 1, 2, 2, {})},
        {"garbage image", cursorMessage(1, 1, 2, 2, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'})},
        {"image larger than a cursor may be", cursorMessage(1, 1, 32, 32, tooLarge)},
        {"declares a huge image", cursorMessage(1, 1, 32, 32, pngfixture::declaringPng(65535, 65535))},
        // Whole, small pictures of other kinds: cursor shapes travel as PNG only.
        {"bitmap", cursorMessage(1, 1, 2, 2, pngfixture::bmp(2, 2))},
        {"gif", cursorMessage(1, 1, 1, 1, pngfixture::gif(1, 1))},
        {"jpeg", cursorMessage(1, 1, 8, 8, pngfixture::jpeg(8, 8))},
        {"icon holding a png", cursorMessage(1, 1, 2, 2, pngfixture::icoWrapping(good))},
        {"size not a number", cursorMessage(1, 1, std::nanf(""), 2, good)},
        {"zero size", cursorMessage(1, 1, 0, 2, good)},
    };
    for (const auto& c : cases) EXPECT_EQ(makeCursorFromMessage(c.payload, 1.0), nullptr) << c.what;
    HCURSOR fits = makeCursorFromMessage(cursorMessage(1, 1, 32, 32, largest), 1.0);
    EXPECT_NE(fits, nullptr) << "the largest image a cursor may have";
    DestroyCursor(fits);
}

}  // namespace
