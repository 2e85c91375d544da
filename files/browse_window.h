// BrowseWindow: the viewer's window on the host's folders ("TavrelBrowse"): a path line, the
// up, receive and send buttons, a three-column list and a status line. It shows one folder
// listing at a time and knows nothing of sessions: its owner gives it the callables through
// which it asks for listings, downloads and uploads, and hands it every listing that arrives.
// Windows only; everything runs on the UI thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "core/json.h"

class BrowseWindow {
public:
    explicit BrowseWindow(std::wstring peerName);
    // Destroys the window and deletes the font.
    ~BrowseWindow();
    BrowseWindow(const BrowseWindow&) = delete;
    BrowseWindow& operator=(const BrowseWindow&) = delete;

    HWND hwnd = nullptr;
    // Asks the host for the listing of a UTF-8 path ("" = the starting places).
    std::function<void(const std::string& path)> listFolder;
    // Asks the host to send these remote files or folders to the viewer.
    std::function<void(const std::vector<std::string>& remotePaths)> download;
    // Sends these local files into that remote folder.
    std::function<void(const std::vector<std::wstring>& localPaths, const std::string& remoteFolder)> upload;
    // The file picker of uploadHere (the system's file-open dialog unless replaced): the chosen
    // paths, empty when cancelled.
    std::function<std::vector<std::wstring>(HWND owner)> pickFiles;
    // Called around the picker's modal loop, so that the owner is not deleted under it.
    std::function<void()> enterModal;
    std::function<void()> leaveModal;

    std::wstring peerName;
    HWND list = nullptr;
    HWND pathLabel = nullptr;
    HWND upButton = nullptr;
    HWND receiveButton = nullptr;
    HWND sendButton = nullptr;
    HWND status = nullptr;
    HFONT font = nullptr;
    Json listing;

    // Shows and raises the window when it exists; otherwise makes it and asks for the starting
    // places.
    void create();
    // Shows a listing, parsed where it was received: never here.
    void applyListing(Json parsed);

    // Window-procedure work, public for the window procedure.
    static LRESULT CALLBACK wndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT onMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void layout();
    void fillList();
    std::string pathAt(int row) const;
    void open(int row);
    void downloadSelection();
    void uploadHere();
    void setStatus(const std::string& text);
};
