// The remote file browser in this thread: listings applied, rows and controls read back, list
// notifications and buttons sent as the system sends them, callables recorded.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core/text.h"
#include "files/browse.h"
#include "files/browse_window.h"
#include "support/pump_win.h"
#include "support/screenshot.h"

namespace {

std::wstring textOf(HWND w) {
    const int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(GetWindowTextW(w, s.data(), n + 1)));
    return s;
}

std::string cell(HWND list, int row, int column) {
    wchar_t buffer[512] = {};
    ListView_GetItemText(list, row, column, buffer, 512);
    return wideToUtf8(buffer);
}

// The window as it shows once it has painted.
void shoot(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    pumpFor(150);
    EXPECT_TRUE(saveScreenshot(window));
}

// A listing as the session's receive thread hands it on.
Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

const char* const kPlaces =
    R"x({"path":"","entries":[{"name":"홈 (kim)","dir":true},{"name":"드라이브 C:","dir":true}],)x"
    R"x("roots":[{"name":"홈 (kim)","dir":true},{"name":"드라이브 C:","dir":true}],)x"
    R"x("rootPaths":["C:\\Users\\kim","C:\\"]})x";
const char* const kFolder =
    R"x({"path":"C:\\Users\\kim","parent":"C:\\Users","entries":[)x"
    R"x({"name":"사진","dir":true,"mtime":1700000000},)x"
    R"x({"name":"보고서.txt","dir":false,"size":1234567,"mtime":1700000000},)x"
    R"x({"name":"빈 파일.txt","dir":false,"size":0,"mtime":0},)x"
    R"x({"name":"old.txt","dir":false,"size":5,"mtime":-86400}]})x";
const char* const kDriveRoot = R"x({"path":"C:\\","parent":"","entries":[{"name":"Users","dir":true,"mtime":1}]})x";

// A browser whose callables are recorded.
struct Rig {
    std::unique_ptr<BrowseWindow> browser = std::make_unique<BrowseWindow>(L"사무실 PC");
    std::vector<std::string> listed;
    std::vector<std::vector<std::string>> downloads;
    std::vector<std::pair<std::vector<std::wstring>, std::string>> uploads;

    Rig() {
        browser->listFolder = [this](const std::string& path) { listed.push_back(path); };
        browser->download = [this](const std::vector<std::string>& paths) { downloads.push_back(paths); };
        browser->upload = [this](const std::vector<std::wstring>& paths, const std::string& folder) {
            uploads.push_back({paths, folder});
        };
        browser->pickFiles = [](HWND) { return std::vector<std::wstring>(); };
        browser->create();
        pumpFor(50);
    }
    BrowseWindow& b() { return *browser; }
    std::string status() { return wideToUtf8(textOf(b().status)); }
    std::string pathLine() { return wideToUtf8(textOf(b().pathLabel)); }
    void doubleClick(int row) {
        NMITEMACTIVATE nm{};
        nm.hdr = {b().list, UINT_PTR(kBrowseListId), UINT(NM_DBLCLK)};
        nm.iItem = row;
        SendMessageW(b().hwnd, WM_NOTIFY, kBrowseListId, reinterpret_cast<LPARAM>(&nm));
    }
    void enter() {
        NMLVKEYDOWN nm{};
        nm.hdr = {b().list, UINT_PTR(kBrowseListId), UINT(LVN_KEYDOWN)};
        nm.wVKey = VK_RETURN;
        SendMessageW(b().hwnd, WM_NOTIFY, kBrowseListId, reinterpret_cast<LPARAM>(&nm));
    }
    void select(std::initializer_list<int> rows) {
        ListView_SetItemState(b().list, -1, 0, LVIS_SELECTED);
        for (int row : rows) ListView_SetItemState(b().list, row, LVIS_SELECTED, LVIS_SELECTED);
    }
    void press(int id) {
        SendMessageW(b().hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(b().hwnd, id)));
    }
};

TEST(BrowseWindowWin, ShowsListingsAsRowsAndAsksForThePlacesFirst) {
    Rig rig;
    wchar_t cls[32] = {};
    GetClassNameW(rig.b().hwnd, cls, 32);
    EXPECT_STREQ(cls, L"TavrelBrowse");
    EXPECT_EQ(wideToUtf8(textOf(rig.b().hwnd)), "원격 파일 — 사무실 PC");
    EXPECT_EQ(rig.listed, std::vector<std::string>{""});
    EXPECT_EQ(rig.status(), "여는 중…");
    for (int id : {kBrowseListId, kBrowseUpId, kBrowseReceiveId, kBrowseSendId}) EXPECT_NE(GetDlgItem(rig.b().hwnd, id), nullptr);

    rig.b().applyListing(parsed(kPlaces));
    EXPECT_EQ(rig.pathLine(), "처음 자리");
    EXPECT_EQ(ListView_GetItemCount(rig.b().list), 2);
    EXPECT_EQ(cell(rig.b().list, 0, 0), "📁 홈 (kim)");
    for (HWND button : {rig.b().upButton, rig.b().receiveButton, rig.b().sendButton}) EXPECT_FALSE(IsWindowEnabled(button));
    rig.doubleClick(1);
    EXPECT_EQ(rig.listed.back(), "C:\\");
    EXPECT_EQ(rig.status(), "여는 중…");
    EXPECT_EQ(ListView_GetItemCount(rig.b().list), 2);  // the old rows stay until the new listing

    rig.b().applyListing(parsed(kFolder));
    EXPECT_EQ(rig.pathLine(), "C:\\Users\\kim");
    for (HWND button : {rig.b().upButton, rig.b().receiveButton, rig.b().sendButton}) EXPECT_TRUE(IsWindowEnabled(button));
    ASSERT_EQ(ListView_GetItemCount(rig.b().list), 4);
    EXPECT_EQ(cell(rig.b().list, 0, 0), "📁 사진");
    EXPECT_EQ(cell(rig.b().list, 0, 1), "");
    EXPECT_EQ(cell(rig.b().list, 1, 0), "보고서.txt");
    EXPECT_EQ(cell(rig.b().list, 1, 1), "1.2 MB");
    EXPECT_EQ(cell(rig.b().list, 2, 1), "0바이트");
    EXPECT_EQ(cell(rig.b().list, 2, 2), "");  // mtime 0
    EXPECT_EQ(cell(rig.b().list, 3, 2), "");  // before 1970: the conversion refuses it
    const std::regex time("2023-11-1[45] [0-9]{2}:[0-9]{2}");
    EXPECT_TRUE(std::regex_match(cell(rig.b().list, 1, 2), time)) << cell(rig.b().list, 1, 2);
    EXPECT_EQ(rig.status(), "4개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)");
    shoot(rig.b().hwnd);

    rig.b().applyListing(parsed(R"x({"path":"C:\\x","parent":"C:\\","entries":[],"error":"열 수 없습니다 (5)"})x"));
    EXPECT_EQ(rig.status(), "열 수 없습니다 (5)");
    EXPECT_EQ(ListView_GetItemCount(rig.b().list), 0);
}

TEST(BrowseWindowWin, OpensFoldersAndReceivesFiles) {
    Rig rig;
    rig.b().applyListing(parsed(kFolder));
    rig.doubleClick(0);
    EXPECT_EQ(rig.listed.back(), "C:\\Users\\kim\\사진");
    rig.doubleClick(-1);  // no row hit
    rig.doubleClick(9);
    EXPECT_EQ(rig.listed.size(), 2u);

    rig.select({});
    rig.enter();  // nothing selected: nothing happens
    EXPECT_TRUE(rig.downloads.empty());
    rig.select({1});
    rig.enter();
    ASSERT_EQ(rig.downloads.size(), 1u);
    EXPECT_EQ(rig.downloads[0], std::vector<std::string>{"C:\\Users\\kim\\보고서.txt"});
    EXPECT_EQ(rig.status(), "받는 중: 보고서.txt");

    rig.select({});
    rig.press(kBrowseReceiveId);
    EXPECT_EQ(rig.status(), "받을 파일 · 폴더를 고르세요");
    EXPECT_EQ(rig.downloads.size(), 1u);
    rig.select({0, 2});
    rig.press(kBrowseReceiveId);
    ASSERT_EQ(rig.downloads.size(), 2u);
    EXPECT_EQ(rig.downloads[1], (std::vector<std::string>{"C:\\Users\\kim\\사진", "C:\\Users\\kim\\빈 파일.txt"}));
    EXPECT_EQ(rig.status(), "받는 중: 2개 → 다운로드 폴더");

    rig.press(kBrowseUpId);
    EXPECT_EQ(rig.listed.back(), "C:\\Users");
    rig.b().applyListing(parsed(kDriveRoot));
    rig.doubleClick(0);
    EXPECT_EQ(rig.listed.back(), "C:\\Users");  // no doubled separator after the root
    const std::string statusBefore = rig.status();
    rig.press(kBrowseUpId);  // a drive root goes up to the starting places
    EXPECT_EQ(rig.listed.back(), "");
    EXPECT_EQ(rig.status(), statusBefore);
    shoot(rig.b().hwnd);
}

TEST(BrowseWindowWin, ClosingHidesAndReopeningShowsTheSameListing) {
    Rig rig;
    rig.b().applyListing(parsed(kFolder));
    shoot(rig.b().hwnd);
    HWND window = rig.b().hwnd;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowVisible(window));
    rig.b().create();
    pumpFor(30);
    EXPECT_EQ(rig.b().hwnd, window);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(rig.listed.size(), 1u);  // no new request
    EXPECT_EQ(ListView_GetItemCount(rig.b().list), 4);
    EXPECT_EQ(rig.pathLine(), "C:\\Users\\kim");
    rig.browser.reset();
    EXPECT_FALSE(IsWindow(window));
}

// The picker is a modal loop the owner counts; the window stays whole when it is closed meanwhile.
TEST(BrowseWindowWin, SendsPickedFilesIntoTheShownFolder) {
    Rig rig;
    int modal = 0, pickedWhileModal = 0;
    HWND owner = nullptr;
    rig.b().enterModal = [&] { ++modal; };
    rig.b().leaveModal = [&] { --modal; };
    std::vector<std::wstring> chosen = {L"D:\\a.txt", L"D:\\b.txt"};
    rig.b().pickFiles = [&](HWND o) {
        owner = o;
        pickedWhileModal += modal;
        SendMessageW(rig.b().hwnd, WM_CLOSE, 0, 0);
        return chosen;
    };
    rig.b().applyListing(parsed(kPlaces));
    rig.press(kBrowseSendId);  // disabled there, and nothing to send into anyway
    rig.b().uploadHere();
    EXPECT_EQ(owner, nullptr);

    rig.b().applyListing(parsed(kFolder));
    rig.b().create();
    shoot(rig.b().hwnd);
    rig.press(kBrowseSendId);
    EXPECT_EQ(owner, rig.b().hwnd);
    EXPECT_EQ(pickedWhileModal, 1);
    EXPECT_EQ(modal, 0);
    EXPECT_TRUE(IsWindow(rig.b().hwnd));
    ASSERT_EQ(rig.uploads.size(), 1u);
    EXPECT_EQ(rig.uploads[0].first, chosen);
    EXPECT_EQ(rig.uploads[0].second, "C:\\Users\\kim");
    EXPECT_EQ(rig.status(), "보내는 중: 2개 → C:\\Users\\kim");

    chosen.clear();  // cancelled: nothing sent, status kept
    rig.press(kBrowseSendId);
    EXPECT_EQ(rig.uploads.size(), 1u);
    EXPECT_EQ(rig.status(), "보내는 중: 2개 → C:\\Users\\kim");
}

}  // namespace
