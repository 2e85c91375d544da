// The tray menu: for now only quitting.
#include "app/tray.h"
#include "host/server.h"

namespace {

constexpr UINT kQuit = 17;

}  // namespace

void showMenu() {
    TrayProcess& t = tray();
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuW(menu, MF_STRING, kQuit, L"종료");
    POINT at{};
    GetCursorPos(&at);
    SetForegroundWindow(t.trayWindow);
    const UINT chosen = UINT(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0,
                                            t.trayWindow, nullptr));
    DestroyMenu(menu);
    PostMessageW(t.trayWindow, WM_NULL, 0, 0);  // lets the menu close when the user clicks elsewhere
    if (chosen == kQuit) {
        HostServer::instance().stop();
        t.notifyIcon(NIM_DELETE, &t.trayIconData);
        PostQuitMessage(0);
    }
}
