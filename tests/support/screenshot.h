// Pictures of what GUI tests show, for a person to look at: a GDI grab of a window or a screen
// rectangle written as PNG to the folder in TAVREL_SCREENS (scripts/test sets it to
// build/screens), or to ..\screens beside the test binary's folder when it is not set.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The rectangle (screen coordinates) as "<name>.png"; an empty name means "<suite>.<test>" of the
// running test. True when the file was written.
bool saveScreenshot(const RECT& screenRect, const std::string& name = std::string());
// The window's rectangle as it shows on the screen.
bool saveScreenshot(HWND window, const std::string& name = std::string());
// A 32-bit top-down picture selected into a memory device context, to draw on with GDI or copy
// the screen into.
class DibCanvas {
public:
    DibCanvas(int width, int height);
    ~DibCanvas();
    DibCanvas(const DibCanvas&) = delete;
    DibCanvas& operator=(const DibCanvas&) = delete;

    bool ok() const { return bits_ != nullptr; }
    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The pixels as BGRA rows, after what was drawn so far (GDI leaves alpha 0).
    std::vector<uint8_t> pixels() const;

private:
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
};

// A picture that is not on the screen (an icon, a drawing): top-down BGRA rows, `width` x 4 apart.
bool savePicture(const uint8_t* bgra, int width, int height, const std::string& name = std::string());
