// A viewer session from connect to the host's drop over loopback, with the product's connection
// racing and clock: host information, a round trip, files in both directions, one end report.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "files/fileio.h"
#include "net/route.h"
#include "support/file_transfer.h"
#include "support/session_rig.h"
#include "support/test_relay.h"

namespace {

std::string contentOf(const std::wstring& path) { return spanToString(readFile(path)); }

TEST(SessionEndToEnd, FromConnectToTheHostsDrop) {
    TempFolder hostFiles, viewerFiles, downloads, uploads;
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    putFile(hostFiles / L"보고서.txt", bytesOf("호스트의 클립보드 파일"));
    putFile(viewerFiles / L"올림.txt", bytesOf("뷰어가 올리는 파일"));
    host.clipboardFiles = {hostFiles / L"보고서.txt"};
    host.filesIn.defaultFolder = [&] { return uploads.wide(); };

    // The product's connector and clock; a relay of the test's own, so that hole punching could
    // only ever reach it (the direct dial wins).
    Peer peer = host.peer();
    peer.relay = relay.config();
    auto devices = std::make_shared<RecordingDevices>();
    SessionServices services;
    services.devices = devices;
    auto session = std::make_shared<ClientSession>(peer, newKeyPair(), Bytes(), nullptr, "", services);
    SessionEvents events;
    events.install(*session);
    session->filesIn.defaultFolder = [&] { return downloads.wide(); };

    std::string routeText;
    const Json hello = session->connect(Json(), &routeText);
    EXPECT_EQ(hello.get("name").text, "시험 호스트");
    EXPECT_EQ(session->route(), kRouteDirect);
    EXPECT_EQ(routeText, "직접 " + host.address());
    ASSERT_TRUE(host.waitFor(MsgType::SessionRequest));
    EXPECT_EQ(host.received().front().type, uint8_t(MsgType::SessionRequest));

    ASSERT_TRUE(host.send(MsgType::DisplayInfo, R"({"name":"시험 호스트","width":1280,"height":720})"));
    ASSERT_TRUE(events.waitFor("display:"));
    ASSERT_TRUE(waitUntil([&] { return session->takeStats().rttMs > 0; }, 5000));
    ASSERT_TRUE(host.send(MsgType::Notice, "원격 화면이 잠겼습니다"));
    ASSERT_TRUE(host.send(MsgType::Status, R"({"locked":true,"curtain":false})"));
    ASSERT_TRUE(events.waitFor("curtain:"));
    EXPECT_EQ(events.of("notice:"), std::vector<std::string>{"notice:원격 화면이 잠겼습니다"});
    EXPECT_EQ(events.of("locked:"), std::vector<std::string>{"locked:1"});

    // A batch the viewer did not ask for stays out.
    host.filesOut.enqueue({hostFiles / L"보고서.txt"});
    ASSERT_TRUE(waitUntil([&] { return !host.filesOut.busy(); }, 10000));
    EXPECT_TRUE(std::filesystem::is_empty(downloads.path()));

    // The files copied on the host, fetched on request.
    session->requestClipboardFiles();
    ASSERT_TRUE(events.waitFor("result:받음:", 1, 10000));
    EXPECT_EQ(contentOf(downloads / L"보고서.txt"), "호스트의 클립보드 파일");
    EXPECT_EQ(events.of("result:받음:").back(),
              "result:받음: 보고서.txt (" + formatSize(bytesOf("호스트의 클립보드 파일").size()) + ") → " +
                  utf8FromWide(downloads.wide()));
    EXPECT_EQ(events.paths().back(), downloads / L"보고서.txt");

    // One file up to the host.
    const size_t results = events.of("result:").size();
    session->filesOut.enqueue({viewerFiles / L"올림.txt"});
    ASSERT_TRUE(events.waitFor("result:", results + 1, 10000));
    EXPECT_EQ(contentOf(uploads / L"올림.txt"), "뷰어가 올리는 파일");

    // The host goes away: one end report, whatever comes after.
    host.drop();
    ASSERT_TRUE(events.waitFor("ended:"));
    session->close();
    session->finish("다시");
    std::weak_ptr<ClientSession> weak = session;
    session.reset();
    ASSERT_TRUE(waitUntil([&] { return weak.expired(); }, 5000));
    EXPECT_EQ(events.of("ended:"), std::vector<std::string>{"ended:연결이 닫혔습니다"});
    EXPECT_EQ(devices->listeners(), 0u);
}

}  // namespace
