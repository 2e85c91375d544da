// A borderless top-most window at a given screen rectangle that paints itself through a
// callback, for tests that look at the screen or draw into a window.
#pragma once

#include <windows.h>

#include <functional>

class PaintWindow {
public:
    using Painter = std::function<void(HDC dc, const RECT& client)>;

    // `cursor`, when given, is the pointer shown over the window.
    PaintWindow(const RECT& screenRect, Painter painter, HCURSOR cursor = nullptr);
    ~PaintWindow();
    PaintWindow(const PaintWindow&) = delete;
    PaintWindow& operator=(const PaintWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    // Paints again with `painter` at once (and on every later WM_PAINT).
    void repaint(Painter painter);
    void setCursor(HCURSOR cursor) { cursor_ = cursor; }

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    Painter painter_;
    HCURSOR cursor_ = nullptr;
};

// Fills the rectangle with one colour.
void fillRect(HDC dc, const RECT& r, COLORREF colour);
