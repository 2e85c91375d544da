// The viewer window's file commands: sending local files and folders, asking for the host's
// copied files, showing where received files went, the transfer text ahead of the title and the
// remote file browser wired to the session of the moment.
#include "viewer/window.h"

#include <commdlg.h>
#include <shellapi.h>

#include <utility>

#include "core/config/store.h"
#include "core/text.h"
#include "files/browse_window.h"
#include "files/paths.h"
#include "files/pickers.h"
#include "files/status.h"

namespace {

std::vector<std::wstring> systemPickFiles(HWND owner) {
    return pickFilesToOpen(owner, kSendFilesPickerTitle, OFN_NOCHANGEDIR | OFN_HIDEREADONLY);
}

std::vector<std::wstring> systemPickFolders(HWND owner) { return pickFolders(owner, kSendFoldersPickerTitle); }

void systemShellExecute(HWND owner, const ShellCall& call) {
    ShellExecuteW(owner, call.verb.empty() ? nullptr : call.verb.c_str(), call.file.c_str(),
                  call.parameters.empty() ? nullptr : call.parameters.c_str(), nullptr, SW_SHOWNORMAL);
}

}  // namespace

bool ViewerWindow::fileCommandMayRun(const char* oldHostText) {
    switch (fileCommandGate(session != nullptr, connected, hostHas("files"))) {
        case FileCommandGate::Ignore: return false;
        case FileCommandGate::OldHost: showTransferResult(oldHostText, std::wstring()); return false;
        case FileCommandGate::Run: break;
    }
    return true;
}

void ViewerWindow::sendFiles(std::vector<std::wstring> paths) {
    // A window closed during a picker of its own still returns here: it sends nothing any more.
    if (closing || paths.empty() || !fileCommandMayRun(kOldHostCannotSendText)) return;
    setTransferText(kPreparingSendText);
    session->filesOut.enqueue(std::move(paths));
    rebuildMenuSoon();
}

void ViewerWindow::pickAndSendFiles(bool folders) {
    if (closing) return;
    const auto& pick = folders ? fileServices.pickFolders : fileServices.pickFiles;
    // The picker's loop may close this window: its deletion waits until the picker has returned.
    std::vector<std::wstring> chosen = modal([&] {
        if (pick) return pick(hwnd);
        return folders ? systemPickFolders(hwnd) : systemPickFiles(hwnd);
    });
    sendFiles(std::move(chosen));
}

void ViewerWindow::receiveCopiedFiles() {
    if (closing || !fileCommandMayRun(kOldHostCannotReceiveText)) return;
    setTransferText(kRequestingCopiedText);
    session->requestClipboardFiles();
}

void ViewerWindow::showReceivedFiles() {
    const bool exists = !lastReceivedPath.empty() && pathExists(longPath(lastReceivedPath));
    const ShellCall call = showReceivedCall(lastReceivedPath, exists, downloadsFolder());
    if (fileServices.shellExecute) fileServices.shellExecute(hwnd, call);
    else systemShellExecute(hwnd, call);
}

void ViewerWindow::openBrowser() {
    if (closing) return;
    if (browser) {
        browser->create();
        return;
    }
    browser = new BrowseWindow(utf8ToWide(titleName.empty() ? peer.name : titleName));
    // Each callback takes the session of the moment (it follows reconnects) and does nothing
    // without one or once this window is closing. Transfers pass the gate of the other file
    // commands: while a reconnect runs, its connect thread is still setting the session's file
    // sender and receiver up.
    browser->listFolder = [this](const std::string& path) {
        if (!closing && session) session->send(MsgType::ListFolder, Bytes(path.begin(), path.end()));
    };
    browser->download = [this](const std::vector<std::string>& remotePaths) {
        if (!closing && fileCommandMayRun(kOldHostCannotReceiveText)) session->requestDownload(remotePaths);
    };
    browser->upload = [this](const std::vector<std::wstring>& localPaths, const std::string& remoteFolder) {
        if (!closing && fileCommandMayRun(kOldHostCannotSendText)) session->requestUpload(localPaths, remoteFolder);
    };
    // The browser's picker is owned by the browser, so this window stays usable and may be
    // closed under it: it counts as this window's modal call.
    browser->enterModal = [this] { enterModal(); };
    browser->leaveModal = [this] { leaveModal(); };
    browser->create();
}

void ViewerWindow::setTransferText(std::string text) {
    KillTimer(hwnd, kTransferTimer);
    transferText = utf8ToWide(text);
    updateTitle();
}

void ViewerWindow::showTransferResult(std::string text, std::wstring path) {
    if (!path.empty()) lastReceivedPath = std::move(path);
    logLine("파일: " + peerTextForLog(text));  // may carry the host's refusal text and file names
    setTransferText(std::move(text));
    SetTimer(hwnd, kTransferTimer, fileServices.resultMs, nullptr);
    rebuildMenuSoon();
}

void ViewerWindow::onDropFiles(WPARAM wParam) {
    HDROP drop = reinterpret_cast<HDROP>(wParam);
    std::vector<std::wstring> paths;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        DragQueryFileW(drop, i, path.data(), length + 1);
        path.resize(length);
        paths.push_back(std::move(path));
    }
    DragFinish(drop);
    sendFiles(std::move(paths));
}
