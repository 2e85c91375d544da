#include "support/screenshot.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/config/store.h"
#include "core/util.h"
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
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (memory && bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
        if (ok) {
            pixels.assign(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + size_t(width) * height * 4);
            for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;  // GDI leaves alpha 0
        }
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace

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
