#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "host/protocol/messages.h"
#include "viewer/host_info.h"
#include "viewer/title.h"
#include "viewer/window_model.h"

namespace {

Json parsed(const std::string& text, size_t maxValues = Json::kMaxValues) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j, maxValues)) << text.substr(0, 200);
    return j;
}

TEST(ViewerRemoteSize, ReadsTheShownPictureWithItsFallbacks) {
    struct Case {
        const char* info;
        double width, height;
        bool known;
    } cases[] = {
        {"null", 16, 10, false},
        {R"({"current":1,"displays":[{"widthPt":1,"heightPt":1},{"widthPt":1440,"heightPt":900}],"width":2880,"height":1800})",
         1440, 900, true},
        {R"({"current":0,"displays":[{"widthPt":0,"heightPt":-5}]})", 16, 10, false},
        {R"({"current":0,"displays":[{"widthPt":"wide"}]})", 16, 10, false},
        {R"({"current":5,"displays":[{"widthPt":1,"heightPt":1}],"width":1920,"height":1080})", 1920, 1080, true},
        {R"({"current":-1,"displays":[{"widthPt":1,"heightPt":1}],"width":1920,"height":1080})", 1920, 1080, true},
        {R"({"current":"0","displays":[{"widthPt":800,"heightPt":600}]})", 800, 600, true},
        {R"({"window":{"id":7,"widthPt":0.5,"heightPt":300},"current":0,"displays":[{"widthPt":1920,"heightPt":1080}]})",
         1, 300, true},
        {R"({"window":{"id":7},"width":1920,"height":1080})", 16, 10, false},
        {R"({"window":{"id":7,"widthPt":-3,"heightPt":0}})", 1, 1, true},
    };
    for (const Case& c : cases) {
        double w = 0, h = 0;
        EXPECT_EQ(remoteSize(parsed(c.info), w, h), c.known) << c.info;
        EXPECT_EQ(w, c.width) << c.info;
        EXPECT_EQ(h, c.height) << c.info;
    }
}

TEST(ViewerRemoteSize, TheWindowIsSizedFor1280x800UntilTheSizeIsKnown) {
    double w = 0, h = 0;
    sizingPicture(Json(), w, h);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 800);
    sizingPicture(parsed(R"({"width":1024,"height":768})"), w, h);
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, 768);
}

TEST(ViewerHostType, DescriptionThenSessionThenMac) {
    struct Case {
        const char* info;
        bool session;
        const char* hostOs;
        bool windows;
    } cases[] = {
        {R"({"os":"windows"})", false, "mac", true},
        {R"({"os":"mac"})", true, "windows", false},
        {R"({"os":""})", true, "windows", false},  // present and a string: it decides
        {R"({})", true, "windows", true},
        {R"({"os":1})", true, "windows", true},
        {R"({})", true, "mac", false},
        {"null", false, "windows", false},  // never a session: a Mac
    };
    for (const Case& c : cases) EXPECT_EQ(isWindowsHost(parsed(c.info), c.session, c.hostOs), c.windows) << c.info;
}

TEST(ViewerHostInfo, ReadsTheHostsOwnDescription) {
    // What a Windows host writes, read back through the viewer's lenient rules.
    DisplayInfo d;
    d.name = "사무실 PC";
    d.displays = {{0, 1920, 1080, 1920, 1080, true}, {1, 1280, 1024, 2560, 2048, false}};
    d.current = 1;
    d.width = 2560;
    d.height = 2048;
    d.features = hostFeatures(false);
    d.wake = parsed(R"([{"mac":"00:11:22:33:44:55","bcast":"192.168.0.255"}])");
    Json info;
    ASSERT_TRUE(Json::parse(d.toJson().dump(), info));
    double w = 0, h = 0;
    EXPECT_TRUE(remoteSize(info, w, h));
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 1024);
    EXPECT_TRUE(isWindowsHost(info, false, ""));
    EXPECT_TRUE(hostListsFeature(info, "apps"));
    const HostInfoStep step = hostInfoStep(info, true, true, 0, false, false);
    EXPECT_EQ(step.titleName, std::optional<std::string>("사무실 PC"));
    EXPECT_TRUE(step.requestApps);
    EXPECT_EQ(step.wake.dump(), d.wake.dump());
    EXPECT_TRUE(step.resize);
}

TEST(ViewerHostInfo, ResizesForTheFirstPictureAndForEachNewWindow) {
    struct Case {
        const char* what;
        const char* info;
        bool first;
        uint32_t previous;
        bool fullScreen;
        bool resize;
        uint32_t shown;
    } cases[] = {
        {"first description", R"({"current":0})", true, 0, false, true, 0},
        {"same display again", R"({"current":0})", false, 0, false, false, 0},
        {"display to window", R"({"window":{"id":42}})", false, 0, false, true, 42},
        {"same window again", R"({"window":{"id":42}})", false, 42, false, false, 42},
        {"window to display", R"({"current":0})", false, 42, false, true, 0},
        {"full screen never", R"({"window":{"id":43}})", false, 42, true, false, 43},
        {"first in full screen", R"({"current":0})", true, 0, true, false, 0},
        {"id above 2^31 kept", R"({"window":{"id":4294967040}})", false, 0, false, true, 4294967040u},
        {"id not a number", R"({"window":{"id":"x"}})", false, 42, false, true, 0},
    };
    for (const Case& c : cases) {
        const HostInfoStep step = hostInfoStep(parsed(c.info), c.first, true, c.previous, false, c.fullScreen);
        EXPECT_EQ(step.resize, c.resize) << c.what;
        EXPECT_EQ(step.shownWindowId, c.shown) << c.what;
        EXPECT_EQ(step.hint, HostInfoStep::Hint::Keep) << c.what;
    }
}

TEST(ViewerHostInfo, AppsOnlyHostShowsTheHintUntilAProgramIsChosen) {
    const Json waiting = parsed(R"({"appsOnly":true,"features":["apps"]})");
    HostInfoStep step = hostInfoStep(waiting, true, true, 0, false, false);
    EXPECT_EQ(step.hint, HostInfoStep::Hint::Show);
    EXPECT_FALSE(step.resize) << "nothing to size for yet";
    EXPECT_TRUE(step.requestApps);

    const Json chosen = parsed(R"({"appsOnly":true,"window":{"id":9,"widthPt":640,"heightPt":480}})");
    step = hostInfoStep(chosen, false, true, 0, true, false);
    EXPECT_EQ(step.hint, HostInfoStep::Hint::Clear);
    EXPECT_TRUE(step.resize);
    // Without the hint on, nothing is cleared.
    EXPECT_EQ(hostInfoStep(chosen, false, true, 0, false, false).hint, HostInfoStep::Hint::Keep);
}

TEST(ViewerHostInfo, NameAppsAndWakeFollowTheirTypes) {
    HostInfoStep step = hostInfoStep(parsed(R"({"name":7,"wake":[],"features":["apps"]})"), true, false, 0, false, false);
    EXPECT_FALSE(step.titleName.has_value());
    EXPECT_TRUE(step.wake.isNull()) << "an empty wake list changes nothing";
    EXPECT_FALSE(step.requestApps) << "no session to ask";
    step = hostInfoStep(parsed(R"({"name":"","wake":{"mac":"x"},"features":["apps"]})"), false, true, 0, false, false);
    EXPECT_EQ(step.titleName, std::optional<std::string>(""));
    EXPECT_TRUE(step.wake.isNull()) << "not an array";
    EXPECT_FALSE(step.requestApps) << "only the first description asks";
}

// The name leads every chat line and goes into titles and the settings: whether it comes in the
// hello or in a description, a long one is cut between UTF-8 sequences.
TEST(ViewerHostInfo, TheHostsNameIsCutAtAWholeCharacter) {
    const std::string tail(1 << 16, 'm');
    const struct {
        const char* what;
        std::string name;
        std::string kept;
    } cases[] = {
        {"a character across the bound", std::string(kMaxHostNameBytes - 1, 'n') + "가" + tail,
         std::string(kMaxHostNameBytes - 1, 'n')},
        {"a character ending at the bound", std::string(kMaxHostNameBytes - 3, 'n') + "가" + tail,
         std::string(kMaxHostNameBytes - 3, 'n') + "가"},
        {"exactly the bound", std::string(kMaxHostNameBytes, 'n'), std::string(kMaxHostNameBytes, 'n')},
        {"a short name", "서재", "서재"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json info;
        info.set("name", c.name);
        EXPECT_EQ(hostInfoStep(info, true, false, 0, false, false).titleName, std::optional<std::string>(c.kept));
        Peer peer;
        Bytes token = {1};
        std::string password;
        EXPECT_TRUE(learnPeerFromHost(peer, token, password, info, ""));
        EXPECT_EQ(peer.name, c.kept);
    }
}

TEST(ViewerHostInfo, WakeDataGoesToEveryEntryWithTheKey) {
    AppConfig config;
    Peer a, b, c, d;
    a.key = b.key = "S2V5QQ==";
    c.key = "S2V5Qg==";
    d.key = "";
    config.hosts = {a, c, b, d};
    const Json wake = parsed(R"([{"mac":"aa:bb:cc:dd:ee:ff","bcast":"10.0.0.255"}])");
    EXPECT_EQ(storeWakeData(config, "S2V5QQ==", wake), 2);
    EXPECT_EQ(config.hosts[0].wake.dump(), wake.dump());
    EXPECT_EQ(config.hosts[2].wake.dump(), wake.dump());
    EXPECT_TRUE(config.hosts[1].wake.isNull());
    EXPECT_TRUE(config.hosts[3].wake.isNull());
    // A connection by password whose key is not known yet touches nothing, not the keyless entries.
    EXPECT_EQ(storeWakeData(config, "", wake), 0);
    EXPECT_TRUE(config.hosts[3].wake.isNull());
    EXPECT_EQ(storeWakeData(config, "S2V5QQ", wake), 0) << "a prefix is not the key";
}

TEST(ViewerHostInfo, OnlyABoundedPartOfTheWakeDataIsKept) {
    const std::string mac = "aa:bb:cc:dd:ee:ff";
    struct Case {
        const char* name;
        std::string wake;
        std::string kept;  // the step's wake data; "null" when nothing is worth storing
    };
    const std::vector<Case> cases = {
        {"a usual entry", R"([{"mac":")" + mac + R"(","bcast":"192.168.100.255"}])",
         R"([{"mac":")" + mac + R"(","bcast":"192.168.100.255"}])"},
        {"other members go", R"([{"x":1,"mac":")" + mac + R"(","note":"abc"}])", R"([{"mac":")" + mac + R"("}])"},
        {"a long address goes, the entry stays", R"([{"mac":")" + mac + R"(","bcast":"1234567890123456"}])",
         R"([{"mac":")" + mac + R"("}])"},
        {"a long or missing MAC drops the entry",
         R"([{"mac":"aa:bb:cc:dd:ee:ff0"},{"bcast":"10.0.0.255"},{"mac":""},7,"x",{"mac":")" + mac + R"("}])",
         R"([{"mac":")" + mac + R"("}])"},
        {"nothing usable", R"([{"mac":5},[1]])", "null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HostInfoStep step = hostInfoStep(parsed(R"({"wake":)" + c.wake + "}"), false, true, 0, false, false);
        EXPECT_EQ(step.wake.dump(), c.kept);
    }
}

TEST(ViewerHostInfo, AHugeWakeArrayLeavesTheSettingsSmall) {
    // About 20 MB of entries, each with a long extra member: more than any message brings, so the
    // decision is shown alone.
    std::string wake = "[";
    const std::string filler(1000, 'z');
    for (int i = 0; i < 20000; ++i) {
        if (i) wake += ",";
        wake += R"({"mac":"00:11:22:33:44:)" + std::to_string(10 + i % 90) + R"(","bcast":"10.0.0.255","pad":")" +
                filler + R"("})";
    }
    wake += "]";
    const HostInfoStep step = hostInfoStep(parsed(R"({"wake":)" + wake + "}", size_t(1) << 20), true, true, 0, false, false);
    ASSERT_EQ(step.wake.size(), kMaxStoredWakeEntries);
    AppConfig config;
    Peer host;
    host.key = "S2V5QQ==";
    config.hosts = {host, host};
    EXPECT_EQ(storeWakeData(config, host.key, step.wake), 2);
    EXPECT_LT(configToJson(config).dump().size(), 65536u);
    // The same description again changes nothing, so nothing needs saving.
    EXPECT_EQ(storeWakeData(config, host.key, step.wake), 0);
}

TEST(ViewerWindowSize, FitsNinetyPercentOfTheWorkArea) {
    struct Case {
        double w, h;
        int workW, workH;
        unsigned dpi;
        PixelSize client;
    } cases[] = {
        {1920, 1080, 1920, 1040, 96, {1664, 936}},  // k = min(936/1080, 1728/1920)
        {800, 600, 1920, 1040, 96, {800, 600}},     // small: its own size
        {800, 600, 1920, 1040, 144, {1200, 900}},   // at 150 %
        {1280, 800, 1920, 1080, 96, {1280, 800}},   // nothing known yet
        {3456, 100, 1920, 1080, 96, {1728, 50}},    // width limits
        {800, 600, 1920, 1040, 0, {0, 0}},          // no DPI: nothing sensible, nothing wild
    };
    for (const Case& c : cases)
        EXPECT_EQ(viewerClientSize(c.w, c.h, c.workW, c.workH, c.dpi), c.client) << c.w << "x" << c.h << " @" << c.dpi;
    EXPECT_EQ(centredIn(0, 0, 1920, 1040, 1680, 999), (PixelPoint{120, 20}));
    EXPECT_EQ(centredIn(-1920, 40, 1920, 1040, 1921, 100), (PixelPoint{-1920, 510}));
}

TEST(ViewerTitle, ShowsTheLastSecond) {
    TitleFacts f;
    f.name = "서재";
    f.rttMs = 12.4;
    f.route = "직접";
    EXPECT_EQ(viewerTitle(f, Json()), u"서재 — 12 ms · 0 fps · 0.0 Mbps · 0×0 · 직접 · 단축키 일부만");
    f.frames = 60;
    f.bytes = 1'250'000;
    f.keyboardHook = true;
    f.route.clear();
    EXPECT_EQ(viewerTitle(f, parsed(R"({"width":2560.9,"height":"1440"})")), u"서재 — 12 ms · 60 fps · 10.0 Mbps · 2560×0");
}

TEST(ViewerTitle, TheTransferTextLeadsTheLockedText) {
    TitleFacts f;
    f.name = "A";
    f.keyboardHook = true;
    f.lockedText = u"잠김";
    EXPECT_EQ(viewerTitle(f, Json()), u"잠김  |  A — 0 ms · 0 fps · 0.0 Mbps · 0×0");
    f.transferText = u"보내는 중";
    EXPECT_EQ(viewerTitle(f, Json()), u"보내는 중  |  A — 0 ms · 0 fps · 0.0 Mbps · 0×0");
}

TEST(ViewerTitle, ALongNameIsCutAtAWholeCharacter) {
    TitleFacts f;
    f.keyboardHook = true;
    f.transferText = u"보내는 중";
    // 254 units of name, then a character outside the basic plane across the limit.
    f.name = std::string(254, 'n') + "\xF0\x9F\x98\x80" + std::string(100, 'm');
    const std::u16string title = viewerTitle(f, Json());
    const std::u16string lead = u"보내는 중  |  ";
    ASSERT_EQ(title.substr(0, lead.size()), lead);
    EXPECT_EQ(title.substr(lead.size()), std::u16string(254, u'n'));
    f.name = std::string(253, 'n') + "\xF0\x9F\x98\x80" + std::string(100, 'm');
    f.transferText.clear();
    EXPECT_EQ(viewerTitle(f, Json()), std::u16string(253, u'n') + u"\U0001F600");
}

}  // namespace
