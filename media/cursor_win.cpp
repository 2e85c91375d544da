// Reading the system pointer's shape on the host and making a cursor of it on the viewer.
#include "media/cursor.h"

#include <cstring>
#include <exception>

#include "media/capture.h"
#include "media/png.h"

namespace {

// The bitmap's pixels as width x height 32-bit top-down BGRA.
bool readBitmap(HDC dc, HBITMAP bitmap, int width, int height, Bytes& out) {
    BITMAPINFO info = topDownBgraInfo(width, height);
    out.assign(size_t(width) * size_t(height) * 4, 0);
    return GetDIBits(dc, bitmap, 0, UINT(height), out.data(), &info, DIB_RGB_COLORS) == height;
}

bool bitmapSize(HBITMAP bitmap, int& width, int& height) {
    BITMAP bm{};
    if (!bitmap || !GetObjectW(bitmap, sizeof bm, &bm)) return false;
    width = bm.bmWidth;
    height = bm.bmHeight;
    return true;
}

// The shape of the cursor as straight-alpha BGRA, with its hot spot.
bool readShape(HCURSOR cursor, Bytes& pixels, int& width, int& height, int& hotX, int& hotY) {
    ICONINFO icon{};
    if (!GetIconInfo(cursor, &icon)) return false;
    HDC dc = GetDC(nullptr);
    bool ok = false;
    if (icon.hbmColor) {
        if (bitmapSize(icon.hbmColor, width, height) && width > 0 && height > 0 &&
            readBitmap(dc, icon.hbmColor, width, height, pixels)) {
            ok = true;
            Bytes mask;
            bool anyAlpha = false;
            for (size_t i = 3; i < pixels.size() && !anyAlpha; i += 4) anyAlpha = pixels[i] != 0;
            // An old-style colour pointer draws where its mask is clear.
            if (!anyAlpha && icon.hbmMask && readBitmap(dc, icon.hbmMask, width, height, mask))
                alphaFromMask(pixels, mask.data());
        }
    } else {
        int maskHeight = 0;
        Bytes mask;
        if (bitmapSize(icon.hbmMask, width, maskHeight) && width > 0 && maskHeight > 1 &&
            readBitmap(dc, icon.hbmMask, width, maskHeight, mask)) {
            if (std::optional<Bytes> image = monochromeCursorPixels(mask.data(), width, maskHeight)) {
                pixels = std::move(*image);
                height = maskHeight / 2;
                ok = true;
            }
        }
    }
    ReleaseDC(nullptr, dc);
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
    if (icon.hbmMask) DeleteObject(icon.hbmMask);
    hotX = int(icon.xHotspot);
    hotY = int(icon.yHotspot);
    return ok && width >= 1 && height >= 1;
}

}  // namespace

bool CursorCapturer::poll(Bytes& out) {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info)) return false;
    if (!(info.flags & CURSOR_SHOWING) || !info.hCursor) {
        if (hidden_) return false;
        const uint8_t transparent[4] = {0, 0, 0, 0};
        Bytes png;
        encodePng(png, transparent, 1, 1, 4);
        if (png.empty()) return false;  // tried again at the next poll
        hidden_ = true;
        last_ = nullptr;
        out = CursorShapeMessage::fromPixels(0, 0, 1, 1, 1.0, std::move(png)).write();
        return true;
    }
    if (info.hCursor == last_ && !hidden_) return false;
    // A shape that cannot be read is tried again only when the handle changes.
    hidden_ = false;
    last_ = info.hCursor;

    Bytes pixels;
    int width = 0, height = 0, hotX = 0, hotY = 0;
    if (!readShape(info.hCursor, pixels, width, height, hotX, hotY)) return false;
    const double scale = monitorScale(MonitorFromPoint(info.ptScreenPos, MONITOR_DEFAULTTOPRIMARY));
    Bytes png;
    encodePng(png, pixels.data(), width, height, width * 4);
    if (png.empty()) return false;
    out = CursorShapeMessage::fromPixels(hotX, hotY, width, height, scale, std::move(png)).write();
    return true;
}

HCURSOR makeCursorFromMessage(const std::vector<unsigned char>& payload, double scale) {
    try {
        const std::optional<CursorShapeMessage> message = CursorShapeMessage::read(payload);
        if (!message) return nullptr;
        Bytes pixels;
        int width = 0, height = 0;
        if (!decodePng(message->png, pixels, width, height, kMaxCursorPixels)) return nullptr;
        const std::optional<CursorImage> image = cursorImage(*message, scale, pixels.data(), width, height);
        if (!image) return nullptr;

        void* bits = nullptr;
        HBITMAP colour = createAlphaBitmap(image->width, image->height, bits);
        if (!colour) return nullptr;
        std::memcpy(bits, image->bgra.data(), image->bgra.size());
        // The mask is all clear: the colour bitmap's alpha decides what shows.
        const Bytes maskBits(size_t((image->width + 15) / 16 * 2) * size_t(image->height), 0);
        HBITMAP mask = CreateBitmap(image->width, image->height, 1, 1, maskBits.data());
        HCURSOR cursor = nullptr;
        if (mask) {
            ICONINFO icon{};
            icon.fIcon = FALSE;
            icon.xHotspot = DWORD(image->hotX);
            icon.yHotspot = DWORD(image->hotY);
            icon.hbmMask = mask;
            icon.hbmColor = colour;
            cursor = reinterpret_cast<HCURSOR>(CreateIconIndirect(&icon));
            DeleteObject(mask);
        }
        DeleteObject(colour);
        return cursor;
    } catch (const std::exception&) {  // out of memory: no cursor, as for any bad message
        return nullptr;
    }
}
