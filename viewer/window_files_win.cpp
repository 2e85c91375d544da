// The viewer window's file commands.
#include "viewer/window.h"

#include "core/text.h"

void ViewerWindow::sendFiles(std::vector<std::wstring>) {}

void ViewerWindow::pickAndSendFiles(bool) {}

void ViewerWindow::receiveCopiedFiles() {}

void ViewerWindow::showReceivedFiles() {}

void ViewerWindow::openBrowser() {}

void ViewerWindow::setTransferText(std::string text) {
    KillTimer(hwnd, 4);
    transferText = utf8ToWide(text);
    updateTitle();
}

void ViewerWindow::showTransferResult(std::string text, std::wstring path) {
    if (!path.empty()) lastReceivedPath = std::move(path);
    setTransferText(std::move(text));
    SetTimer(hwnd, 4, 12000, nullptr);
}
