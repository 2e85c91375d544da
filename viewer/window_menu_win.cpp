// The viewer window's menu, title and what it makes of the host's description.
#include "viewer/window.h"

#include "core/text.h"
#include "viewer/host_info.h"

void ViewerWindow::updateTitle() { SetWindowTextW(hwnd, utf8ToWide(titleName).c_str()); }

void ViewerWindow::remoteSize(double& width, double& height) const { ::remoteSize(displayInfo, width, height); }

void ViewerWindow::buildMenu() {
    HMENU bar = CreateMenu();
    if (!bar) return;
    HMENU previous = menuBar;
    menuBar = bar;
    if (!fullScreen) SetMenu(hwnd, bar);
    if (previous) DestroyMenu(previous);
}

bool ViewerWindow::command(unsigned int) { return false; }

void ViewerWindow::confirmPower(int) {}

void ViewerWindow::lockedLogin() {}

void ViewerWindow::openChat() {}

void ViewerWindow::applyHostInfo(Json const& info) { displayInfo = info; }
