// The viewer's menu tree as native menus: every text, id, check, grey and column break survives.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "support/viewer_menu_entries_win.h"
#include "support/pump_win.h"
#include "support/screenshot.h"
#include "viewer/menu_model.h"

namespace {

TEST(ViewerMenuWin, NativeMenusHoldTheWholeTree) {
    AppConfig config;
    config.quality = 1;
    Json info, apps;
    ASSERT_TRUE(Json::parse(R"({"os":"windows","current":1,"displays":[{"main":true,"widthPt":1920,"heightPt":1080},)"
                            R"({"widthPt":1280,"heightPt":1024}],"width":1280,"height":1024,)"
                            R"("features":["combo","files","apps","audio","quality","curtain","chat"]})",
                            info));
    Json programs;
    for (int i = 0; i < 45; ++i) {
        std::string id = "p", name = "프로그램 ";
        id += std::to_string(i);
        name += std::to_string(i + 1);
        Json p;
        p.set("id", id);
        p.set("name", name);
        programs.push(std::move(p));
    }
    ASSERT_TRUE(Json::parse(R"({"windows":[{"id":5,"title":"메모장","app":"Notepad"}]})", apps));
    apps.set("apps", programs);
    MenuFacts facts;
    facts.session = true;
    facts.connected = true;
    facts.curtain = true;
    facts.locked = true;
    const std::vector<ViewerMenuItem> model = viewerMenuBar(config, info, apps, facts);

    HMENU bar = createViewerMenuBar(model);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(readMenu(bar), menuEntries(model));

    // Shown on a window for a picture of it.
    HWND window = CreateWindowExW(0, L"STATIC", L"메뉴", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 300, nullptr,
                                  bar, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    pumpFor(200);
    EXPECT_EQ(readMenu(GetMenu(window)), menuEntries(model));
    EXPECT_TRUE(saveScreenshot(window));
    DestroyWindow(window);  // destroys the bar with it
}

}  // namespace
