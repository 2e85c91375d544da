#include "support/screenshot.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/config/store.h"
#include "core/util.h"
#include "media/capture.h"
#include "media/png.h"

namespace {

std::wstring screensFolder() {
    const wchar_t* set = _wgetenv(L"TAVREL_SCREENS");
    return set && *set ? std::wstring(set) : std::wstring(L"..\\screens");
}

std::wstring fileName(const std::string& name) {
    std::string base = name;
    if (base.empty()) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        base = test ? std::string(test->test_suite_name()) + "." + test->name() : "screen";
    }
    std::wstring wide(base.begin(), base.end());  // suite and test names are ASCII
    return screensFolder() + L"\\" + wide + L".png";
}

// Grabs the screen rectangle as top-down BGRA, opaque.
bool grab(const RECT& r, Bytes& pixels, int& width, int& height) {
    width = r.right - r.left;
    height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    DibCanvas canvas(width, height);
    HDC screen = GetDC(nullptr);
    const bool ok = canvas.ok() &&
                    BitBlt(canvas.dc(), 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != FALSE;
    ReleaseDC(nullptr, screen);
    if (!ok) return false;
    pixels = canvas.pixels();
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;  // GDI leaves alpha 0
    return true;
}

}  // namespace

DibCanvas::DibCanvas(int width, int height) : width_(width), height_(height) {
    if (width <= 0 || height <= 0) return;
    const BITMAPINFO info = topDownBgraInfo(width, height);
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = dc_ ? CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0) : nullptr;
    if (bitmap_) {
        old_ = SelectObject(dc_, bitmap_);
    } else {
        bits_ = nullptr;
    }
}

DibCanvas::~DibCanvas() {
    if (old_) SelectObject(dc_, old_);
    if (bitmap_) DeleteObject(bitmap_);
    if (dc_) DeleteDC(dc_);
}

std::vector<uint8_t> DibCanvas::pixels() const {
    if (!bits_) return {};
    GdiFlush();
    const auto* p = static_cast<const uint8_t*>(bits_);
    return std::vector<uint8_t>(p, p + size_t(width_) * height_ * 4);
}

bool saveScreenshot(const RECT& screenRect, const std::string& name) {
    Bytes pixels;
    int width = 0, height = 0;
    return grab(screenRect, pixels, width, height) && savePicture(pixels.data(), width, height, name);
}

bool savePicture(const uint8_t* bgra, int width, int height, const std::string& name) {
    if (width <= 0 || height <= 0) return false;
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Bytes png;
    encodePng(png, bgra, width, height, width * 4);
    if (SUCCEEDED(com)) CoUninitialize();
    if (png.empty()) return false;
    std::wstring folder = screensFolder();
    CreateDirectoryW(folder.c_str(), nullptr);
    return writeFileAtomic(fileName(name), png);
}

bool saveScreenshot(HWND window, const std::string& name) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return false;
    return saveScreenshot(r, name);
}
