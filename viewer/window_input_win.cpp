// The viewer window's mouse and keyboard input.
#include "viewer/window.h"

LRESULT CALLBACK videoWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ViewerWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, msg, wParam, lParam);
    return self->handleVideoMessage(msg, wParam, lParam);
}

LRESULT ViewerWindow::handleVideoMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(video, msg, wParam, lParam);
}

void ViewerWindow::sendWheel(bool, int) {}

void ViewerWindow::installKeyboardHook() {}

void ViewerWindow::setKeyboardHook(bool) {}

void ViewerWindow::forwardKey(uint16_t, bool, uint32_t, bool, bool) {}

void ViewerWindow::toggleFullScreen() {}

void ViewerWindow::switchDisplay(int) {}
