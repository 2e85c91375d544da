// The viewer window's file commands under Wine: drops and pickers sent only over a connected
// session, copied files asked for and shown, the transfer result's interval, a viewer closed during
// its browser's picker, and the remote file browser against the real host server on loopback.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/crypto/x25519.h"
#include "core/text.h"
#include "files/browse.h"
#include "files/browse_window.h"
#include "files/fileio.h"
#include "files/status.h"
#include "host/server.h"
#include "host/session.h"
#include "support/file_transfer.h"
#include "support/gui_win.h"
#include "support/log_capture.h"
#include "support/recording_announcer.h"
#include "support/screenshot.h"
#include "support/scripted_host.h"
#include "support/session_timing.h"
#include "support/viewer_fixture_win.h"
#include "viewer/window.h"

namespace {

std::string hostInfoJson(bool files) {
    return std::string(R"({"name":"시험 호스트","os":"windows","current":0,"features":[)") +
           (files ? R"("files")" : "") + R"(],"displays":[{"id":0,"name":"주 화면","w":1280,"h":800,"scale":1}]})";
}

std::string transferOf(const ViewerWindow& w) { return wideToUtf8(w.transferText); }

// A drop of these paths as the shell hands it to the window.
HDROP makeDrop(const std::vector<std::wstring>& paths) {
    size_t units = 1;
    for (const auto& p : paths) units += p.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + units * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* out = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(drop) + sizeof(DROPFILES));
    for (const auto& p : paths) {
        std::copy(p.begin(), p.end(), out);
        out += p.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

void dropOn(ViewerWindow& w, const std::vector<std::wstring>& paths) {
    SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop(paths)), 0);
}

std::vector<std::string> rowNames(const BrowseWindow& b) {
    std::vector<std::string> out;
    for (const auto& row : listViewRows(b.list)) out.push_back(row.empty() ? std::string() : wideToUtf8(row[0]));
    return out;
}

void press(BrowseWindow& b, int id) {
    SendMessageW(b.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(b.hwnd, id)));
}

void doubleClick(BrowseWindow& b, int row) {
    NMITEMACTIVATE nm{};
    nm.hdr = {b.list, UINT_PTR(kBrowseListId), UINT(NM_DBLCLK)};
    nm.iItem = row;
    SendMessageW(b.hwnd, WM_NOTIFY, kBrowseListId, reinterpret_cast<LPARAM>(&nm));
}

class ViewerFilesWin : public ViewerWindowTest {
protected:
    void SetUp() override {
        ViewerWindowTest::SetUp();
        // The host of the end-to-end test runs in this process: no clipboard between the two.
        configStore().update([](AppConfig& c) { c.clipboard = false; });
    }

    ViewerWindow& open(const Peer& peer) {
        openViewer(peer, Bytes(), std::string());
        return *openViewers().back();
    }
    // A viewer connected to the scripted host, which has (or lacks) file transfer.
    ViewerWindow& connected(ScriptedHost& host, bool files = true) {
        ViewerWindow& w = open(host.peer());
        EXPECT_TRUE(pumpUntil([&] { return w.connected; }, 10000));
        EXPECT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson(files)));
        EXPECT_TRUE(pumpUntil([&] { return w.displayInfo.isObject(); }, 5000));
        return w;
    }
    static Peer unreachable(const std::string& name) {
        Peer peer;
        peer.name = name;
        peer.key = base64Encode(newKeyPair().publicKey);
        peer.addresses = {"127.0.0.1:9"};
        return peer;
    }

};

TEST_F(ViewerFilesWin, DropsAndPickersSendOnlyOverAConnectedSessionOfAHostWithFiles) {
    TempFolder src, landed;
    putFile(src / L"a.txt", bytesOf("dropped"));
    putFile(src / L"b.txt", bytesOf("picked b"));
    putFile(src / L"c.txt", bytesOf("picked c"));
    putFolder(src / L"묶음");
    putFile(src / L"묶음" + L"\\안.txt", bytesOf("inside"));
    ScriptedHost host;
    host.filesIn.defaultFolder = [&] { return landed.wide(); };
    ASSERT_TRUE(host.start());

    ViewerWindow& w = open(host.peer());
    ASSERT_FALSE(w.connected);
    dropOn(w, {src / L"a.txt"});
    w.receiveCopiedFiles();
    EXPECT_EQ(transferOf(w), "");  // not connected: nothing, not even a text

    ASSERT_TRUE(pumpUntil([&] { return w.connected; }, 10000));
    EXPECT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson(false)));
    ASSERT_TRUE(pumpUntil([&] { return w.displayInfo.isObject(); }, 5000));
    dropOn(w, {src / L"a.txt"});
    EXPECT_EQ(transferOf(w), kOldHostCannotSendText);
    w.receiveCopiedFiles();
    EXPECT_EQ(transferOf(w), kOldHostCannotReceiveText);

    EXPECT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson(true)));
    ASSERT_TRUE(pumpUntil([&] { return w.hostHas("files"); }, 5000));
    dropOn(w, {src / L"a.txt"});
    EXPECT_EQ(transferOf(w), kPreparingSendText);
    ASSERT_TRUE(pumpUntil([&] { return pathExists(landed / L"a.txt"); }, 10000));
    EXPECT_EQ(readFile(landed / L"a.txt"), bytesOf("dropped"));

    // The pickers run as the window's modal calls, owned by it; a cancelled one sends nothing.
    std::vector<std::wstring> files = {src / L"b.txt", src / L"c.txt"};
    std::vector<std::wstring> folders = {src / L"묶음"};
    std::vector<std::string> asked;
    w.fileServices.pickFiles = [&](HWND owner) {
        asked.push_back("files " + std::to_string(owner == w.hwnd) + std::to_string(w.modalCalls()));
        return files;
    };
    w.fileServices.pickFolders = [&](HWND owner) {
        asked.push_back("folders " + std::to_string(owner == w.hwnd) + std::to_string(w.modalCalls()));
        return folders;
    };
    w.pickAndSendFiles(false);
    ASSERT_TRUE(pumpUntil([&] { return pathExists(landed / L"c.txt"); }, 10000));
    EXPECT_EQ(readFile(landed / L"b.txt"), bytesOf("picked b"));
    w.pickAndSendFiles(true);
    ASSERT_TRUE(pumpUntil([&] { return pathExists(landed / L"묶음" + L"\\안.txt"); }, 10000));
    EXPECT_EQ(readFile(landed / L"묶음" + L"\\안.txt"), bytesOf("inside"));
    EXPECT_EQ(asked, (std::vector<std::string>{"files 11", "folders 11"}));
    EXPECT_EQ(w.modalCalls(), 0);

    ASSERT_TRUE(pumpUntil([&] { return !w.session->filesOut.busy(); }, 5000));
    pumpFor(100);
    const size_t headers = host.received(MsgType::FileBegin).size();
    const std::string shown = transferOf(w);
    files.clear();
    w.pickAndSendFiles(false);
    pumpFor(200);
    EXPECT_EQ(host.received(MsgType::FileBegin).size(), headers);
    EXPECT_EQ(transferOf(w), shown);
}

TEST_F(ViewerFilesWin, TheBrowsersTransfersPassTheGateOfTheOtherFileCommands) {
    TempFolder src;
    putFile(src / L"이른.txt", bytesOf("early"));
    putFile(src / L"나중.txt", bytesOf("later"));
    ScriptedHost host;
    ASSERT_TRUE(host.start());

    // While the connect runs, its thread is still setting the session's file sender up.
    ViewerWindow& w = open(host.peer());
    ASSERT_FALSE(w.connected);
    ASSERT_NE(w.session, nullptr);
    w.openBrowser();
    ASSERT_NE(w.browser, nullptr);
    w.browser->upload({src / L"이른.txt"}, "C:\\up");
    w.browser->download({"C:\\x.txt"});
    EXPECT_FALSE(w.session->filesOut.busy());
    EXPECT_EQ(transferOf(w), "");

    ASSERT_TRUE(pumpUntil([&] { return w.connected; }, 10000));
    EXPECT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson(false)));
    ASSERT_TRUE(pumpUntil([&] { return w.displayInfo.isObject(); }, 5000));
    w.browser->upload({src / L"나중.txt"}, "C:\\up");
    EXPECT_EQ(transferOf(w), kOldHostCannotSendText);
    w.browser->download({"C:\\x.txt"});
    EXPECT_EQ(transferOf(w), kOldHostCannotReceiveText);
    EXPECT_FALSE(w.session->filesOut.busy());

    // Connected to a host with file transfer: the later upload is the only one that goes.
    EXPECT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson(true)));
    ASSERT_TRUE(pumpUntil([&] { return w.hostHas("files"); }, 5000));
    w.browser->upload({src / L"나중.txt"}, "C:\\up");
    ASSERT_TRUE(pumpUntil([&] { return !host.received(MsgType::FileBegin).empty(); }, 10000));
    ASSERT_TRUE(pumpUntil([&] { return !w.session->filesOut.busy(); }, 10000));
    EXPECT_EQ(host.received(MsgType::FileBegin).size(), 1u);
    EXPECT_EQ(host.received(MsgType::SendFiles).size(), 0u);
}

TEST_F(ViewerFilesWin, CopiedFilesArriveAndShowingThemSelectsTheItemOrOpensDownloads) {
    TempFolder src;
    const Bytes content = patternBytes(5000, 7);
    const std::wstring name = L"복사본 " + std::to_wstring(GetTickCount()) + L".txt";
    putFile(src / name, content);
    ScriptedHost host;
    host.clipboardFiles = {src / name};
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    std::vector<std::pair<HWND, ShellCall>> calls;
    w.fileServices.shellExecute = [&](HWND owner, const ShellCall& call) { calls.push_back({owner, call}); };

    // Nothing received yet: the download folder opens.
    w.showReceivedFiles();
    w.receiveCopiedFiles();
    EXPECT_EQ(transferOf(w), kRequestingCopiedText);
    ASSERT_TRUE(host.waitFor(MsgType::PasteFiles));
    ASSERT_TRUE(pumpUntil([&] { return !w.lastReceivedPath.empty(); }, 10000)) << transferOf(w);
    const std::wstring saved = w.lastReceivedPath;
    EXPECT_EQ(saved, downloadsFolder() + L"\\" + name);
    EXPECT_EQ(readFile(saved), content);
    EXPECT_EQ(transferOf(w).rfind("받음: " + wideToUtf8(name), 0), 0u) << transferOf(w);

    w.showReceivedFiles();
    ASSERT_EQ(DeleteFileW(saved.c_str()), TRUE);
    DeleteFileW((saved + L":Zone.Identifier").c_str());
    w.showReceivedFiles();
    ASSERT_EQ(calls.size(), 3u);
    const ShellCall openDownloads{L"open", downloadsFolder(), L""};
    EXPECT_EQ(calls[0].second, openDownloads);
    EXPECT_EQ(calls[1].second, (ShellCall{L"", L"explorer.exe", L"/select,\"" + saved + L"\""}));
    EXPECT_EQ(calls[2].second, openDownloads);  // the item is gone
    for (const auto& c : calls) EXPECT_EQ(c.first, w.hwnd);
}

TEST_F(ViewerFilesWin, AResultStaysForTheIntervalAndProgressUntilReplaced) {
    LogCapture log;
    ViewerWindow& w = open(unreachable("결과 창"));
    w.fileServices.resultMs = 400;
    w.lastReceivedPath = L"C:\\before.txt";
    const int64_t first = nowNanos();
    w.showTransferResult("첫 결과", L"");
    EXPECT_EQ(transferOf(w), "첫 결과");
    EXPECT_EQ(w.lastReceivedPath, L"C:\\before.txt");  // an empty path keeps the last one
    EXPECT_TRUE(log.has("파일: 첫 결과"));
    pumpFor(250);
    w.showTransferResult("둘째 결과", L"C:\\받음\\b.txt");  // restarts the interval
    EXPECT_EQ(w.lastReceivedPath, L"C:\\받음\\b.txt");
    pumpUntil([&] { return nowNanos() - first > 500'000'000; }, 1000);
    EXPECT_EQ(transferOf(w), "둘째 결과");
    ASSERT_TRUE(pumpUntil([&] { return transferOf(w).empty(); }, 2000));

    // Progress after a result replaces it and stays.
    w.showTransferResult("셋째 결과", L"");
    w.setTransferText("보내는 중 1/2");
    pumpFor(700);
    EXPECT_EQ(transferOf(w), "보내는 중 1/2");
}

// The timer that closes the viewer while its browser's picker runs.
HWND gClosing = nullptr;
void CALLBACK closeViewerTimer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostMessageW(gClosing, WM_CLOSE, 0, 0);
}

TEST_F(ViewerFilesWin, AViewerClosedDuringItsBrowsersPickerIsDeletedAfterIt) {
    ViewerWindow* w = &open(unreachable("고르는 중"));
    const HWND viewer = w->hwnd;
    w->openBrowser();
    ASSERT_NE(w->browser, nullptr);
    BrowseWindow* browser = w->browser;
    const HWND browserWindow = browser->hwnd;
    EXPECT_EQ(windowText(browserWindow), L"원격 파일 — 고르는 중");
    Json listing;
    ASSERT_TRUE(Json::parse(R"x({"path":"C:\\x","parent":"C:\\","entries":[]})x", listing));
    browser->applyListing(std::move(listing));

    bool deferred = false, browserHiddenAlive = false;
    int modalDuringPick = 0;
    browser->pickFiles = [&](HWND owner) {
        EXPECT_EQ(owner, browserWindow);
        modalDuringPick = w->modalCalls();
        gClosing = viewer;
        SetTimer(nullptr, 0, 50, closeViewerTimer);
        // The picker's own loop, which runs the timer, the close and the tray's queue.
        pumpUntil([&] { return !IsWindow(viewer); }, 3000);
        pumpFor(150);
        deferred = openViewers().size() == 1 && openViewers().back().get() == w;
        browserHiddenAlive = w->browser == browser && IsWindow(browserWindow) && !IsWindowVisible(browserWindow);
        return std::vector<std::wstring>{L"C:\\a.txt"};
    };
    press(*browser, kBrowseSendId);
    EXPECT_EQ(modalDuringPick, 1);
    EXPECT_TRUE(deferred);
    EXPECT_TRUE(browserHiddenAlive);
    ASSERT_TRUE(pumpUntil([] { return openViewers().empty(); }, 5000));
    EXPECT_FALSE(IsWindow(browserWindow));  // freed with the viewer
}

// ---- end to end ----

class LoopbackHost {
public:
    LoopbackHost() {
        store = std::make_unique<ConfigStore>(profile.wide(), L"");
        store->update([](AppConfig& c) {
            c.deviceName = "시험 호스트";
            c.fileTransfer = true;
            c.clipboard = false;
            Peer viewer;
            viewer.name = "뷰어 PC";
            viewer.key = base64Encode(loadDeviceKey().publicKey);
            viewer.added = 1;
            c.allowed.push_back(viewer);
        });
        server = std::make_unique<HostServer>(*store, newKeyPair(), std::make_unique<RecordingAnnouncer>(announced));
        HostSessionOptions o;
        o.store = store.get();
        o.timing = shortSessionTiming();
        o.receiveFolder = [this] { return downloads.wide(); };
        server->makeSession = hostSessionFactory(o);
        started = server->start(0, false, false, true);
    }
    ~LoopbackHost() {
        server->stop();
        pumpUntil([&] { return !server->currentSession() && server->admissionsRunning() == 0; }, 5000);
        pumpFor(300);  // the session's last threads let go of the store
        server.reset();
    }
    Peer peer() const {
        Peer p;
        p.name = "시험 호스트";
        p.key = base64Encode(server->deviceKey().publicKey);
        p.addresses = {"127.0.0.1:" + std::to_string(server->port())};
        return p;
    }

    TempFolder profile, downloads;
    std::unique_ptr<ConfigStore> store;
    std::shared_ptr<RecordingAnnouncer::Record> announced = std::make_shared<RecordingAnnouncer::Record>();
    std::unique_ptr<HostServer> server;
    bool started = false;
};

TEST_F(ViewerFilesWin, BrowsesDownloadsAndUploadsOnALoopbackHost) {
    TempFolder tree, local;
    const Bytes big = patternBytes(200'000, 3);
    putFolder(tree / L"안쪽");
    putFile(tree / L"안쪽" + L"\\속.txt", bytesOf("속"));
    putFile(tree / L"x9.txt", bytesOf("9"));
    putFile(tree / L"x10.txt", bytesOf("10"));
    const std::wstring bigName = L"큰 파일 " + std::to_wstring(GetTickCount()) + L".bin";
    putFile(tree / bigName, big);
    putFile(tree / L"숨김.txt", bytesOf("h"));
    putFile(tree / L"시스템.txt", bytesOf("s"));
    putFile(tree / L".점파일", bytesOf("d"));
    ASSERT_TRUE(SetFileAttributesW((tree / L"숨김.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW((tree / L"시스템.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));
    const Bytes dropped = patternBytes(6'000'000, 4);
    putFile(local / L"드롭.bin", dropped);
    putFile(local / L"올림.txt", bytesOf("올린 파일"));

    LoopbackHost host;
    ASSERT_TRUE(host.started);
    ViewerWindow& w = open(host.peer());
    ASSERT_TRUE(pumpUntil([&] { return w.connected && w.hostHas("files"); }, 15000)) << wideToUtf8(w.transferText);

    w.openBrowser();
    ASSERT_NE(w.browser, nullptr);
    BrowseWindow& b = *w.browser;
    EXPECT_EQ(windowText(b.hwnd), L"원격 파일 — 시험 호스트");
    // The starting places: the drives end them.
    ASSERT_TRUE(pumpUntil([&] { return browseEntryCount(b.listing) > 0; }, 10000));
    EXPECT_EQ(windowText(b.pathLabel), L"처음 자리");
    const std::vector<std::string> places = rowNames(b);
    EXPECT_TRUE(std::any_of(places.begin(), places.end(), [](const std::string& n) { return n.rfind("📁 드라이브 C:", 0) == 0; }));
    EXPECT_FALSE(IsWindowEnabled(b.upButton));

    const std::string treePath = wideToUtf8(tree.wide());
    b.listFolder(treePath);
    ASSERT_TRUE(pumpUntil([&] { return browseCurrentPath(b.listing) == treePath; }, 10000));
    EXPECT_EQ(rowNames(b), (std::vector<std::string>{"📁 안쪽", "x9.txt", "x10.txt", wideToUtf8(bigName)}));
    EXPECT_EQ(windowText(b.status), L"4개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)");

    doubleClick(b, 0);
    const std::string inner = treePath + "\\안쪽";
    ASSERT_TRUE(pumpUntil([&] { return browseCurrentPath(b.listing) == inner; }, 10000));
    EXPECT_EQ(rowNames(b), std::vector<std::string>{"속.txt"});
    press(b, kBrowseUpId);
    ASSERT_TRUE(pumpUntil([&] { return browseCurrentPath(b.listing) == treePath; }, 10000));

    // Receive the big file: byte-identical in the viewer's download folder.
    ListView_SetItemState(b.list, 3, LVIS_SELECTED, LVIS_SELECTED);
    press(b, kBrowseReceiveId);
    EXPECT_EQ(windowText(b.status), L"받는 중: 1개 → 다운로드 폴더");
    ASSERT_TRUE(pumpUntil([&] { return !w.lastReceivedPath.empty(); }, 15000)) << transferOf(w);
    EXPECT_EQ(w.lastReceivedPath, downloadsFolder() + L"\\" + bigName);
    EXPECT_TRUE(readFile(w.lastReceivedPath) == big);
    EXPECT_EQ(transferOf(w).rfind("받음: " + wideToUtf8(bigName) + " (200 KB) → ", 0), 0u) << transferOf(w);
    DeleteFileW(w.lastReceivedPath.c_str());
    DeleteFileW((w.lastReceivedPath + L":Zone.Identifier").c_str());

    // A drop still sending when the upload is asked for: each lands in its own folder.
    dropOn(w, {local / L"드롭.bin"});
    b.pickFiles = [&](HWND) { return std::vector<std::wstring>{local / L"올림.txt"}; };
    press(b, kBrowseSendId);
    EXPECT_EQ(windowText(b.status), L"보내는 중: 1개 → " + tree.wide());
    ASSERT_TRUE(pumpUntil([&] { return pathExists(tree / L"올림.txt"); }, 20000));
    ASSERT_TRUE(pumpUntil([&] { return pathExists(host.downloads / L"드롭.bin"); }, 20000));
    EXPECT_EQ(readFile(tree / L"올림.txt"), bytesOf("올린 파일"));
    EXPECT_TRUE(readFile(host.downloads / L"드롭.bin") == dropped);
    EXPECT_FALSE(pathExists(tree / L"드롭.bin"));
    EXPECT_FALSE(pathExists(host.downloads / L"올림.txt"));

    // Listing the folder again shows the upload. Wine keeps the received file's ":Zone.Identifier"
    // stream as a file of that name beside it, which lists too.
    const auto shownNames = [&] {
        std::vector<std::string> names = rowNames(b);
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const std::string& n) { return n.find(":Zone.Identifier") != std::string::npos; }),
                    names.end());
        return names;
    };
    b.listFolder(treePath);
    ASSERT_TRUE(pumpUntil([&] { return shownNames().size() == 5; }, 10000)) << ::testing::PrintToString(rowNames(b));
    EXPECT_EQ(shownNames(), (std::vector<std::string>{"📁 안쪽", "x9.txt", "x10.txt", "올림.txt", wideToUtf8(bigName)}));
    RedrawWindow(b.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    pumpFor(150);
    EXPECT_TRUE(saveScreenshot(b.hwnd, "viewer_remote_browser"));
}

}  // namespace
