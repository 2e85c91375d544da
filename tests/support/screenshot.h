// Pictures of what GUI tests show, for a person to look at: a GDI grab of a window or a screen
// rectangle written as PNG to the folder in TAVREL_SCREENS (scripts/test sets it to
// build/screens), or to ..\screens beside the test binary's folder when it is not set.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The rectangle (screen coordinates) as "<name>.png"; an empty name means "<suite>.<test>" of the
// running test. True when the file was written.
bool saveScreenshot(const RECT& screenRect, const std::string& name = std::string());
// The window's rectangle as it shows on the screen.
bool saveScreenshot(HWND window, const std::string& name = std::string());
// A picture that is not on the screen (an icon, a drawing): top-down BGRA rows, `width` x 4 apart.
bool savePicture(const uint8_t* bgra, int width, int height, const std::string& name = std::string());
