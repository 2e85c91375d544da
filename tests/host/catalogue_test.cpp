#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/catalogue.h"
#include "support/monitors.h"

namespace {

TEST(Catalogue, ExcludedWords) {
    struct Case {
        const wchar_t* name;
        bool excluded;
    };
    const Case cases[] = {
        {L"Helper", true},  // "help" inside a longer word
        {L"Helm", false},
        {L"Foo 제거", true},
        {L"UNINSTALL Foo", true},
        {L"Foo ReadMe", true},
        {L"도움말 보기", true},
        {L"Visit Website", true},
        {L"웹 사이트", true},
        {L"웹사이트", false},
        {L"Release Notes 2", true},
        {L"Release", false},
        {L"Notepad", false},
        {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isExcludedProgram(c.name), c.excluded) << std::string(c.name, c.name + wcslen(c.name));
}

TEST(Catalogue, OwnEntriesAreExactNames) {
    EXPECT_TRUE(isOwnProgramName(L"Tavrel"));
    EXPECT_TRUE(isOwnProgramName(L"Varnoth"));
    EXPECT_FALSE(isOwnProgramName(L"Tavrel Beta"));
    EXPECT_FALSE(isOwnProgramName(L"tavrel"));
}

TEST(Catalogue, AppNameFromImagePath) {
    struct Case {
        const wchar_t* path;
        const wchar_t* app;
    };
    const Case cases[] = {
        {L"C:\\W\\notepad.EXE", L"notepad"},
        {L"C:\\W\\.exe", L".exe"},  // nothing would be left
        {L"C:\\W\\a.exe", L"a"},
        {L"C:/W/tool.Exe", L"tool"},
        {L"C:\\W\\tool.exe.bak", L"tool.exe.bak"},
        {L"notepad.exe", L"notepad"},
        {L"C:\\W\\", L""},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(appNameFromImagePath(c.path), c.app);
}

TEST(Catalogue, WindowsOfAtLeast120By80AreListed) {
    struct Case {
        ScreenRect bounds;
        bool listed;
    };
    const Case cases[] = {
        {{0, 0, 120, 80}, true},   {{0, 0, 119, 200}, false}, {{0, 0, 200, 79}, false},
        {{-500, -300, -380, -220}, true}, {{10, 10, 0, 0}, false},
        {{-2147483647 - 1, 0, 2147483647, 100}, true},  // no overflow on the widest rectangle
    };
    for (const Case& c : cases)
        EXPECT_EQ(windowLargeEnough(c.bounds), c.listed) << c.bounds.left << "," << c.bounds.right;
}

TEST(Catalogue, WindowFilter) {
    WindowFacts base;
    base.visible = true;
    base.className = L"Notepad";
    base.title = L"Untitled - Notepad";
    base.bounds = ScreenRect{10, 10, 650, 490};
    struct Case {
        const char* name;
        std::function<void(WindowFacts&)> change;
        std::optional<ScreenRect> offered;
    };
    const Case cases[] = {
        {"plain", [](WindowFacts&) {}, ScreenRect{10, 10, 650, 490}},
        {"hidden", [](WindowFacts& f) { f.visible = false; }, std::nullopt},
        {"owned", [](WindowFacts& f) { f.owned = true; }, std::nullopt},
        {"tool window", [](WindowFacts& f) { f.toolWindow = true; }, std::nullopt},
        {"cloaked", [](WindowFacts& f) { f.cloaked = true; }, std::nullopt},
        {"desktop", [](WindowFacts& f) { f.className = L"Progman"; }, std::nullopt},
        {"task bar", [](WindowFacts& f) { f.className = L"Shell_TrayWnd"; }, std::nullopt},
        {"second task bar", [](WindowFacts& f) { f.className = L"Shell_SecondaryTrayWnd"; }, std::nullopt},
        {"worker", [](WindowFacts& f) { f.className = L"WorkerW"; }, std::nullopt},
        {"class names are exact", [](WindowFacts& f) { f.className = L"progman"; }, ScreenRect{10, 10, 650, 490}},
        {"untitled", [](WindowFacts& f) { f.title.clear(); }, std::nullopt},
        {"this process", [](WindowFacts& f) { f.ownProcess = true; }, std::nullopt},
        {"not measurable", [](WindowFacts& f) { f.bounds.reset(); }, std::nullopt},
        {"small", [](WindowFacts& f) { f.bounds = ScreenRect{0, 0, 119, 200}; }, std::nullopt},
        {"minimised: restored place",
         [](WindowFacts& f) {
             f.minimised = true;
             f.bounds = ScreenRect{-32000, -32000, -31840, -31976};
             f.normalPosition = ScreenRect{100, 100, 900, 700};
         },
         ScreenRect{100, 100, 900, 700}},
        {"minimised without a restored place",
         [](WindowFacts& f) {
             f.minimised = true;
             f.normalPosition.reset();
         },
         std::nullopt},
        {"minimised, restored small",
         [](WindowFacts& f) {
             f.minimised = true;
             f.normalPosition = ScreenRect{0, 0, 200, 79};
         },
         std::nullopt},
    };
    for (const Case& c : cases) {
        WindowFacts f = base;
        c.change(f);
        EXPECT_EQ(offeredBounds(f), c.offered) << c.name;
    }
}

TEST(Catalogue, WindowJsonGivesPointsRoundedHalfAway) {
    WindowInfo w{0xFFFFFFF0u, "제목", "notepad", {0, 0, 1281, 721}};
    EXPECT_EQ(windowJson(w, 2.0).dump(),
              R"({"id":4294967280,"title":"제목","app":"notepad","widthPt":641,"heightPt":361})");
    EXPECT_EQ(windowJson(w, 1.0).get("widthPt").asNumber(), 1281);
    EXPECT_EQ(windowJson(w, 1.5).get("widthPt").asNumber(), 854);
    for (double bad : {0.0, -1.0, std::nan("")}) EXPECT_EQ(windowJson(w, bad).get("widthPt").asNumber(), 1281) << bad;
}

TEST(Catalogue, ScaleOfTheMonitorHoldingTheCentre) {
    const std::vector<MonitorInfo> monitors = {monitorAt(0, 0, 1920, 1080, false, 1.0),
                                               monitorAt(1920, 0, 4480, 1440, false, 2.0),
                                               monitorAt(1920, 0, 2000, 100, false, 1.25)};  // overlaps the second
    struct Case {
        ScreenRect bounds;
        double scale;
    };
    const Case cases[] = {
        {{100, 100, 500, 400}, 1.0},
        {{2500, 100, 2900, 400}, 2.0},
        {{1800, 0, 2100, 100}, 1.25},      // centre (1950, 50): the last monitor holding it wins
        {{1700, 0, 2139, 100}, 1.0},       // centre 1919: right edges are outside
        {{1701, 0, 2140, 100}, 1.25},      // centre 1920
        {{-1001, -1001, 0, 0}, 1.0},       // centre (-500, -500) truncated toward zero: no monitor
        {{-3, -3, 2, 2}, 1.0},             // centre (0, 0): the first monitor
        {{5000, 5000, 5200, 5200}, 1.0},   // outside every monitor
    };
    for (const Case& c : cases) {
        WindowInfo w;
        w.bounds = c.bounds;
        EXPECT_EQ(windowScale(w, monitors), c.scale) << c.bounds.left << "," << c.bounds.right;
    }
    WindowInfo w;
    w.bounds = {100, 100, 500, 400};
    EXPECT_EQ(windowScale(w, {}), 1.0);
}

TEST(Catalogue, ReplyListsAppsWindowsAndLaunchingOnlyWhileALaunchRuns) {
    const std::vector<ProgramEntry> apps = {{"C:\\P\\a.lnk", "A"}, {"shell:AppsFolder\\b!App", "B"}};
    const std::vector<WindowInfo> windows = {{7, "Doc", "notepad", {2000, 0, 2400, 300}}};
    const std::vector<MonitorInfo> monitors = {monitorAt(1920, 0, 3840, 1080, false, 2.0)};
    EXPECT_EQ(catalogueReply(apps, windows, monitors, "").dump(),
              R"({"apps":[{"id":"C:\\P\\a.lnk","name":"A"},{"id":"shell:AppsFolder\\b!App","name":"B"}],)"
              R"("windows":[{"id":7,"title":"Doc","app":"notepad","widthPt":200,"heightPt":150}]})");
    EXPECT_EQ(catalogueReply({}, {}, {}, "메모장").dump(), R"({"apps":[],"windows":[],"launching":"메모장"})");
}

}  // namespace
