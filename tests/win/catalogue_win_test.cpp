// The window and program catalogue under Wine: Wine has no Apps folder and no window manager's
// frame bounds, so the shortcut scan and the window rectangle are what runs. Shortcuts are planted
// in the throw-away prefix's Start-menu folders; the windows listed are notepad's, as the list
// leaves out this process's own.
#include <windows.h>
#include <tlhelp32.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/util.h"
#include "host/catalogue.h"
#include "support/process_job_win.h"
#include "support/wait.h"

namespace {

using Microsoft::WRL::ComPtr;

bool makeShortcut(const std::wstring& folder, const std::wstring& name, const std::wstring& target) {
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link)))) return false;
    link->SetPath(target.c_str());
    ComPtr<IPersistFile> file;
    if (FAILED(link.As(&file))) return false;
    return SUCCEEDED(file->Save((folder + L"\\" + name + L".lnk").c_str(), TRUE));
}

// The ids of the running notepad processes.
std::set<DWORD> notepadProcesses() {
    std::set<DWORD> out;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"notepad.exe") == 0) out.insert(entry.th32ProcessID);
    CloseHandle(snapshot);
    return out;
}

std::set<uint32_t> handles(const std::vector<WindowInfo>& windows) {
    std::set<uint32_t> out;
    for (const WindowInfo& w : windows) out.insert(w.handle);
    return out;
}

// What a launch job sends and sets.
class RecordingSession : public CatalogueSession {
public:
    void send(MsgType type, const std::string& payload) override {
        std::lock_guard lock(mutex);
        sent.push_back({type, payload});
    }
    std::string launching() override {
        std::lock_guard lock(mutex);
        return launchingName;
    }
    void setLaunching(const std::string& name) override {
        std::lock_guard lock(mutex);
        launchingName = name;
        launchingHistory.push_back(name);
    }
    void streamWindow(uint32_t handle) override {
        std::lock_guard lock(mutex);
        streamed.push_back(handle);
    }

    std::mutex mutex;
    std::vector<std::pair<MsgType, std::string>> sent;
    std::string launchingName;
    std::vector<std::string> launchingHistory;
    std::vector<uint32_t> streamed;
};

class CatalogueWin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        userFolder = programsFolder(false) + L"\\TavrelCatalogueTest";
        commonFolder = programsFolder(true) + L"\\TavrelCatalogueTest";
        const std::wstring notepad = L"C:\\windows\\notepad.exe";
        planted = makeShortcut(userFolder, L"Tavrel Notepad", notepad) &&
                  makeShortcut(userFolder, L"Tavrel Shared", notepad) &&
                  makeShortcut(commonFolder, L"Tavrel Shared", notepad) &&
                  makeShortcut(commonFolder, L"Tavrel Common Only", notepad) &&
                  makeShortcut(userFolder + L"\\2\\3\\4", L"Tavrel Four Down", notepad) &&
                  makeShortcut(userFolder + L"\\2\\3\\4\\5", L"Tavrel Five Down", notepad) &&
                  makeShortcut(userFolder, L"Tavrel", notepad) && makeShortcut(userFolder, L"Varnoth", notepad) &&
                  makeShortcut(userFolder, L"Tavrel Beta", notepad) &&
                  makeShortcut(userFolder, L"Tavrel Helper", notepad) &&
                  makeShortcut(userFolder, L"Tavrel 제거", notepad);
    }
    static void TearDownTestSuite() {
        for (const std::wstring& folder : {userFolder, commonFolder}) {
            std::wstring from = folder + L'\0';  // a list of one, ending in two NULs
            SHFILEOPSTRUCTW op{};
            op.wFunc = FO_DELETE;
            op.pFrom = from.c_str();
            op.fFlags = FOF_NO_UI;
            SHFileOperationW(&op);
        }
        CoUninitialize();
    }

    void SetUp() override {
        ASSERT_TRUE(planted);
        savedLifetime = programCacheLifetimeNs.load();
        programCacheLifetimeNs = 0;  // every call reads the planted shortcuts afresh
        before = handles(listWindows());
        notepadsBefore = notepadProcesses();
    }
    void TearDown() override {
        programCacheLifetimeNs = savedLifetime;
        // Ends the notepads this test started.
        for (DWORD pid : notepadProcesses()) {
            if (notepadsBefore.count(pid)) continue;
            if (HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
                TerminateProcess(p, 0);
                WaitForSingleObject(p, 2000);
                CloseHandle(p);
            }
        }
    }

    // The id of the catalogue's entry with that name, empty when there is none.
    static std::string idOf(const std::vector<ProgramEntry>& programs, const std::string& name) {
        for (const ProgramEntry& p : programs)
            if (p.name == name) return p.id;
        return {};
    }

    // A notepad window that was not there when the test began.
    uint32_t startNotepad() {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!started.start(L"", L"notepad.exe", 0, startup, process)) return 0;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        uint32_t found = 0;
        // The first program of a fresh prefix takes a few seconds to show.
        waitUntil(
            [&] {
                for (const WindowInfo& w : listWindows())
                    if (!before.count(w.handle) && w.app == "notepad") found = w.handle;
                return found != 0;
            },
            20000);
        return found;
    }

    static inline std::wstring userFolder, commonFolder;
    static inline bool planted = false;
    int64_t savedLifetime = 0;
    std::set<uint32_t> before;
    std::set<DWORD> notepadsBefore;
    ProcessJob started;  // the notepads the test starts itself
};

TEST_F(CatalogueWin, ShortcutScanFindsFourLevelsDownAndTheUsersNameFirst) {
    const std::vector<ProgramEntry> programs = programCatalogue();
    EXPECT_EQ(idOf(programs, "Tavrel Notepad"), wideToUtf8(userFolder + L"\\Tavrel Notepad.lnk"));
    EXPECT_EQ(idOf(programs, "Tavrel Shared"), wideToUtf8(userFolder + L"\\Tavrel Shared.lnk"));
    EXPECT_EQ(idOf(programs, "Tavrel Common Only"), wideToUtf8(commonFolder + L"\\Tavrel Common Only.lnk"));
    EXPECT_EQ(idOf(programs, "Tavrel Four Down"), wideToUtf8(userFolder + L"\\2\\3\\4\\Tavrel Four Down.lnk"));
    EXPECT_EQ(idOf(programs, "Tavrel Five Down"), "");
    EXPECT_EQ(idOf(programs, "Tavrel"), "");
    EXPECT_EQ(idOf(programs, "Varnoth"), "");
    EXPECT_NE(idOf(programs, "Tavrel Beta"), "");
    EXPECT_EQ(idOf(programs, "Tavrel Helper"), "");
    EXPECT_EQ(idOf(programs, "Tavrel 제거"), "");

    // Names are unique and sorted without regard to case.
    for (size_t i = 1; i < programs.size(); ++i) {
        const std::wstring a = utf8ToWide(programs[i - 1].name), b = utf8ToWide(programs[i].name);
        EXPECT_NE(CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1, nullptr,
                                  nullptr, 0),
                  CSTR_GREATER_THAN)
            << programs[i - 1].name << " / " << programs[i].name;
    }
}

TEST_F(CatalogueWin, BuiltListIsKeptUntilItIsStale) {
    programCatalogue();
    programCacheLifetimeNs = 30'000'000'000;
    ASSERT_TRUE(makeShortcut(userFolder, L"Tavrel Later", L"C:\\windows\\notepad.exe"));
    EXPECT_EQ(idOf(programCatalogue(), "Tavrel Later"), "");
    programCacheLifetimeNs = 0;
    EXPECT_NE(idOf(programCatalogue(), "Tavrel Later"), "");
    DeleteFileW((userFolder + L"\\Tavrel Later.lnk").c_str());
}

TEST_F(CatalogueWin, LaunchJobStartsTheProgramAndStreamsItsWindow) {
    const std::string id = idOf(programCatalogue(), "Tavrel Notepad");
    ASSERT_FALSE(id.empty());
    RecordingSession session;
    launchFromCatalogue(session, id);

    EXPECT_EQ(session.launchingHistory, (std::vector<std::string>{"Tavrel Notepad", ""}));
    ASSERT_EQ(session.sent.size(), 2u);  // a reply while launching, and one after
    Json first, last;
    ASSERT_EQ(session.sent[0].first, MsgType::AppList);
    ASSERT_TRUE(Json::parse(session.sent[0].second, first));
    EXPECT_EQ(first.get("launching").asString(), "Tavrel Notepad");
    ASSERT_EQ(session.sent[1].first, MsgType::AppList);
    ASSERT_TRUE(Json::parse(session.sent[1].second, last));
    EXPECT_FALSE(last.has("launching"));

    ASSERT_EQ(session.streamed.size(), 1u);
    const uint32_t window = session.streamed[0];
    EXPECT_EQ(before.count(window), 0u);
    bool listedAsNotepad = false;
    for (const Json& w : last.get("windows").items)
        if (uint32_t(w.get("id").asNumber()) == window) listedAsNotepad = w.get("app").asString() == "notepad";
    EXPECT_TRUE(listedAsNotepad);
    EXPECT_EQ(GetForegroundWindow(), windowFromId(window));
}

TEST_F(CatalogueWin, IdsTheHostDidNotOfferStartNothing) {
    for (const std::string id : {"https://example.invalid/", "C:\\windows\\notepad.exe", "notepad.exe /p x.txt",
                                 "shell:AppsFolder\\Microsoft.WindowsNotepad", ""}) {
        RecordingSession session;
        launchFromCatalogue(session, id);
        ASSERT_EQ(session.sent.size(), 1u) << id;
        EXPECT_EQ(session.sent[0].first, MsgType::Notice);
        EXPECT_EQ(session.sent[0].second, "이 프로그램은 실행할 수 없습니다");
        EXPECT_TRUE(session.launchingHistory.empty());
        EXPECT_TRUE(session.streamed.empty());
        EXPECT_FALSE(launchProgram(id)) << id;
    }
    sleepMs(500);
    EXPECT_EQ(handles(listWindows()), before);  // no window came
}

TEST_F(CatalogueWin, ListsOtherProgramsWindowsOnly) {
    const uint32_t notepad = startNotepad();
    ASSERT_NE(notepad, 0u);

    // A window of this process with a title and a size that would pass.
    HWND own = CreateWindowExW(0, L"STATIC", L"Tavrel own window", WS_POPUP | WS_VISIBLE, 50, 50, 400, 300, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(own, nullptr);
    const std::vector<WindowInfo> windows = listWindows();
    EXPECT_EQ(handles(windows).count(windowId(own)), 0u);
    ShowWindow(own, SW_HIDE);

    const auto it = std::find_if(windows.begin(), windows.end(), [&](const WindowInfo& w) { return w.handle == notepad; });
    ASSERT_NE(it, windows.end());
    EXPECT_EQ(it->app, "notepad");
    EXPECT_FALSE(it->title.empty());
    RECT r{};
    GetWindowRect(windowFromId(notepad), &r);
    EXPECT_EQ(it->bounds, (ScreenRect{r.left, r.top, r.right, r.bottom}));

    DestroyWindow(own);
}

TEST_F(CatalogueWin, BringsAWindowToTheFront) {
    const uint32_t notepad = startNotepad();
    ASSERT_NE(notepad, 0u);
    HWND own = CreateWindowExW(0, L"STATIC", L"front", WS_POPUP | WS_VISIBLE, 0, 0, 200, 200, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    SetForegroundWindow(own);
    ASSERT_TRUE(waitUntil([&] { return GetForegroundWindow() == own; }, 5000));

    ShowWindow(windowFromId(notepad), SW_MINIMIZE);
    bringWindowToFront(windowFromId(notepad));
    EXPECT_TRUE(waitUntil([&] { return GetForegroundWindow() == windowFromId(notepad); }, 5000));
    EXPECT_FALSE(IsIconic(windowFromId(notepad)));
    ShowWindow(own, SW_HIDE);
    DestroyWindow(own);
}

TEST_F(CatalogueWin, WindowIdsOfClosedWindowsGiveNothing) {
    EXPECT_EQ(windowFromId(0), nullptr);
    HWND hidden = CreateWindowExW(0, L"STATIC", L"gone", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(hidden, nullptr);
    const uint32_t id = windowId(hidden);
    EXPECT_EQ(windowFromId(id), hidden);
    DestroyWindow(hidden);
    EXPECT_EQ(windowFromId(id), nullptr);
}

TEST_F(CatalogueWin, ReplyListsTheCatalogueAndNotepad) {
    const uint32_t notepad = startNotepad();
    ASSERT_NE(notepad, 0u);
    RecordingSession session;
    sendAppList(session);
    ASSERT_EQ(session.sent.size(), 1u);
    EXPECT_EQ(session.sent[0].first, MsgType::AppList);
    Json reply;
    ASSERT_TRUE(Json::parse(session.sent[0].second, reply));
    bool hasShortcut = false;
    for (const Json& a : reply.get("apps").items) hasShortcut |= a.get("name").asString() == "Tavrel Notepad";
    EXPECT_TRUE(hasShortcut);
    RECT r{};
    GetWindowRect(windowFromId(notepad), &r);
    bool hasWindow = false;
    for (const Json& w : reply.get("windows").items)
        if (uint32_t(w.get("id").asNumber()) == notepad) {
            hasWindow = true;
            EXPECT_EQ(w.get("widthPt").asNumber(), r.right - r.left);  // Wine's one monitor has scale 1
            EXPECT_EQ(w.get("heightPt").asNumber(), r.bottom - r.top);
        }
    EXPECT_TRUE(hasWindow);
    EXPECT_FALSE(reply.has("launching"));
}

}  // namespace
