// The viewer window under Wine, opened as the tray opens it: a scripted host's picture through the
// whole path to the screen, the status texts of connecting, dropping and reconnecting, the view
// size reports, a connection by password, several windows of one computer, the order of the
// session's reports, and a window closed during a dialog of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/store.h"
#include "core/util.h"
#include "core/crypto/x25519.h"
#include "core/text.h"
#include "core/wire.h"
#include "host/protocol/messages.h"
#include "media/renderer.h"
#include "media/stream.h"
#include "support/gui_win.h"
#include "support/lossless_h264.h"
#include "support/scripted_host.h"
#include "support/viewer_fixture_win.h"
#include "viewer/dialog.h"
#include "viewer/window.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
// Luma of the four quadrants (top left, top right, bottom left, bottom right); neutral chroma
// keeps the decoded values grey.
constexpr int kQuadrantLuma[4] = {40, 100, 160, 220};

std::vector<uint8_t> quadrants() {
    std::vector<uint8_t> nv12(size_t(kWidth) * kHeight * 3 / 2, 128);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            nv12[size_t(y) * kWidth + size_t(x)] = uint8_t(kQuadrantLuma[(y >= kHeight / 2) * 2 + (x >= kWidth / 2)]);
    return nv12;
}

// The screen value of a limited-range luma.
int screenLevel(int luma) { return (luma - 16) * 255 / 219; }

// The product's devices, but a renderer that keeps a copy of each picture it presents: GDI does
// not see what Direct3D draws into a child window under Wine.
class CopyingDevices : public ViewerDevices {
public:
    std::shared_ptr<void> renderThreadScope() override { return real_->renderThreadScope(); }
    std::unique_ptr<VideoDecoderPort> makeDecoder(bool fullRangeDefault) override {
        return real_->makeDecoder(fullRangeDefault);
    }
    std::unique_ptr<VideoRendererPort> makeRenderer() override { return std::make_unique<Renderer>(*this); }
    std::unique_ptr<SoundPort> makeSound() override { return real_->makeSound(); }
    ClipboardPort& clipboard() override { return real_->clipboard(); }

    VideoRenderer::BackBufferCopy last() {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    class Renderer : public VideoRendererPort {
    public:
        explicit Renderer(CopyingDevices& owner) : owner_(owner) {}
        bool init(void* window) override {
            renderer_.keepBackBufferCopies(true);
            return renderer_.init(static_cast<HWND>(window));
        }
        void upload(const DecodedFrame& frame) override { renderer_.upload(frame); }
        void present() override {
            renderer_.present();
            std::lock_guard lock(owner_.mutex_);
            owner_.last_ = renderer_.lastBackBuffer();
        }
        void resizeIfNeeded() override { renderer_.resizeIfNeeded(); }
        void release() override { renderer_.release(); }

    private:
        CopyingDevices& owner_;
        VideoRenderer renderer_;
    };

    std::shared_ptr<ViewerDevices> real_ = productViewerDevices();
    std::mutex mutex_;
    VideoRenderer::BackBufferCopy last_;
};

std::wstring statusOf(const ViewerWindow& w) { return IsWindowVisible(w.statusLine) ? windowText(w.statusLine) : L""; }

std::string hostInfoJson() {
    return R"({"name":"시험 호스트","os":"windows","current":0,"features":["files"],)"
           R"("displays":[{"id":0,"name":"주 화면","w":1280,"h":800,"scale":1}]})";
}

class ViewerWindowWin : public ViewerWindowTest {
protected:
    ViewerWindow& open(const Peer& peer, const std::string& password = std::string()) {
        openViewer(peer, Bytes(), password);
        ViewerWindow& w = *openViewers().back();
        w.reconnectTiming.afterDropMs = 200;
        w.reconnectTiming.retryUnitMs = 100;
        return w;
    }

};

// Sends frames of the quadrant picture until the window shows the first one.
void streamUntilPicture(ScriptedHost& host, ViewerWindow& w) {
    LosslessH264Writer writer(kWidth, kHeight);
    StreamHeader header;
    header.width = kWidth;
    header.height = kHeight;
    header.parameterSets = {writer.sps(), writer.pps()};
    ASSERT_TRUE(host.send(MsgType::StreamHeader, StreamHeader::encode(header)));
    const std::vector<uint8_t> picture = quadrants();
    uint32_t sent = 0;
    while (sent < 40 && !IsWindowVisible(w.video)) {
        const std::vector<uint8_t> annexB = writer.encode(picture.data(), sent == 0);
        const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
        ++sent;
        ASSERT_TRUE(host.send(MsgType::VideoFrame, encodeVideoFrame(sent, unit.keyFrame, unit.payload)));
        pumpUntil([&] { return host.received(MsgType::FrameAck).size() >= sent; }, 10000);
        pumpFor(20);
    }
    ASSERT_TRUE(IsWindowVisible(w.video)) << "no picture after " << sent << " frames";
    // A few more, so that the shown picture is a settled one.
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> annexB = writer.encode(picture.data(), false);
        const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
        ++sent;
        ASSERT_TRUE(host.send(MsgType::VideoFrame, encodeVideoFrame(sent, unit.keyFrame, unit.payload)));
    }
    pumpUntil([&] { return host.received(MsgType::FrameAck).size() >= sent; }, 10000);
    pumpFor(200);
}

size_t viewSizes(ScriptedHost& host) { return host.received(MsgType::ViewSize).size(); }

TEST_F(ViewerWindowWin, ShowsTheHostsPictureAndReconnectsAfterADrop) {
    auto devices = std::make_shared<CopyingDevices>();
    ViewerWindow::defaultServices().devices = devices;
    struct Restore {
        ~Restore() { ViewerWindow::defaultServices() = SessionServices(); }
    } restore;
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = open(host.peer());
    EXPECT_EQ(statusOf(w), L"연결 중…");
    EXPECT_EQ(windowClass(w.hwnd), L"TavrelViewer");

    ASSERT_TRUE(pumpUntil([&] { return statusOf(w) == L"화면 받는 중…"; }, 10000)) << wideToUtf8(statusOf(w));
    EXPECT_TRUE(w.connected);
    // The host's description resizes the window for its picture: the size the request described
    // is the one before it.
    RECT client{};
    GetClientRect(w.hwnd, &client);
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, hostInfoJson()));
    ASSERT_TRUE(pumpUntil([&] { return w.displayInfo.isObject(); }, 5000));
    EXPECT_TRUE(w.hostHas("files"));
    EXPECT_FALSE(w.hostHas("fil"));

    // The session request described this window.
    const std::vector<Bytes> requests = host.received(MsgType::SessionRequest);
    ASSERT_EQ(requests.size(), 1u);
    Json request;
    ASSERT_TRUE(Json::parse(spanToString(requests[0]), request));
    EXPECT_EQ(request.get("viewW").asNumber(0), double(client.right));
    EXPECT_EQ(request.get("os").asString(""), "windows");

    streamUntilPicture(host, w);
    if (HasFatalFailure()) return;
    EXPECT_EQ(statusOf(w), L"");
    EXPECT_FALSE(IsWindowVisible(w.reconnectButton));
    saveScreenshot(w.hwnd, "viewer_window_picture");

    // The picture is centred in the video child, as tall or as wide as it fits: points an eighth
    // of the shorter side away from the centre lie inside each quadrant.
    const VideoRenderer::BackBufferCopy shown = devices->last();
    ASSERT_GT(shown.width, 0);
    savePicture(shown.bgra.data(), shown.width, shown.height, "viewer_window_back_buffer");
    RECT videoArea{};
    GetClientRect(w.video, &videoArea);
    EXPECT_EQ(shown.width, videoArea.right);
    EXPECT_EQ(shown.height, videoArea.bottom);
    const int cx = shown.width / 2, cy = shown.height / 2, d = std::min(shown.width, shown.height) / 8;
    const POINT at[4] = {{cx - d, cy - d}, {cx + d, cy - d}, {cx - d, cy + d}, {cx + d, cy + d}};
    for (int q = 0; q < 4; ++q) {
        const uint8_t* px = shown.bgra.data() + (size_t(at[q].y) * size_t(shown.width) + size_t(at[q].x)) * 4;
        SCOPED_TRACE("quadrant " + std::to_string(q));
        for (int channel : {px[0], px[1], px[2]}) EXPECT_NEAR(channel, screenLevel(kQuadrantLuma[q]), 8);
    }

    // View sizes: the first layout after connecting reports the size; 4 pixels more do not, 5 do.
    ASSERT_TRUE(pumpUntil([&] { return viewSizes(host) >= 1; }, 5000));
    pumpFor(500);
    const size_t before = viewSizes(host);
    RECT frame{};
    GetWindowRect(w.hwnd, &frame);
    const int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
    SetWindowPos(w.hwnd, nullptr, 0, 0, fw + 4, fh + 4, SWP_NOMOVE | SWP_NOZORDER);
    pumpFor(700);
    EXPECT_EQ(viewSizes(host), before);
    SetWindowPos(w.hwnd, nullptr, 0, 0, fw + 9, fh, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(pumpUntil([&] { return viewSizes(host) == before + 1; }, 3000));
    RECT videoClient{};
    GetClientRect(w.video, &videoClient);
    const ViewSizeMsg last = ViewSizeMsg::decode(host.received(MsgType::ViewSize).back());
    EXPECT_EQ(last.width, uint32_t(videoClient.right));
    EXPECT_EQ(last.height, uint32_t(videoClient.bottom));

    // The host drops the session: the window says so and connects again on its own.
    host.drop();
    ASSERT_TRUE(pumpUntil([&] { return statusOf(w) == L"연결이 끊겼습니다 — 다시 연결 중…"; }, 5000))
        << wideToUtf8(statusOf(w));
    EXPECT_FALSE(IsWindowVisible(w.reconnectButton));
    saveScreenshot(w.hwnd, "viewer_window_reconnecting");
    ASSERT_TRUE(pumpUntil([&] { return host.handshakes() == 2 && w.connected; }, 10000));
    EXPECT_EQ(statusOf(w), L"화면 받는 중…");
    EXPECT_EQ(w.attempts, 0);
}

TEST_F(ViewerWindowWin, AFirstConnectThatFailsIsFinalWithTheButton) {
    Peer nobody;
    nobody.name = "없는 컴퓨터";
    nobody.key = base64Encode(newKeyPair().publicKey);
    nobody.addresses = {"127.0.0.1:1"};
    ViewerWindow& w = open(nobody);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(w.reconnectButton); }, 15000)) << wideToUtf8(statusOf(w));
    EXPECT_FALSE(w.autoReconnect);
    EXPECT_EQ(w.attempts, 0);
    EXPECT_FALSE(w.lastError.empty());
    EXPECT_EQ(statusOf(w), std::wstring(reinterpret_cast<const wchar_t*>(finalFailureText(w.lastError, false).c_str())));
    saveScreenshot(w.hwnd, "viewer_window_failed");
}

TEST_F(ViewerWindowWin, APasswordConnectTeachesTheKeyAndWipesThePassword) {
    ScriptedHost host("암호 호스트");
    host.password = "열려라참깨12";
    ASSERT_TRUE(host.start());
    Peer byPassword;
    byPassword.name = "접속 ID 123 456 789";
    byPassword.addresses = {host.address()};
    byPassword.accessId = "123456789";
    ViewerWindow& w = open(byPassword, host.password);
    ASSERT_TRUE(pumpUntil([&] { return w.connected; }, 10000)) << wideToUtf8(statusOf(w));
    EXPECT_TRUE(w.password.empty());
    EXPECT_EQ(w.peer.key, base64Encode(host.device.publicKey));
    EXPECT_EQ(w.peer.name, "암호 호스트");
    const AppConfig config = configStore().get();
    int listed = 0;
    for (const Peer& p : config.hosts)
        if (p.key == base64Encode(host.device.publicKey)) {
            ++listed;
            EXPECT_EQ(p.accessId, "123456789");
            EXPECT_EQ(p.added, p.lastConnected);
        }
    EXPECT_EQ(listed, 1);

    // A reconnect of the same window now uses the paired handshake.
    host.drop();
    ASSERT_TRUE(pumpUntil([&] { return host.handshakes() == 2 && w.connected; }, 10000));
}

TEST_F(ViewerWindowWin, TwoWindowsOfOnePeerAreBothListedAndCloseApart) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& first = open(host.peer());
    ViewerWindow& second = open(host.peer());
    ASSERT_EQ(openViewers().size(), 2u);
    ASSERT_TRUE(pumpUntil([&] { return first.connected && second.connected; }, 10000));
    EXPECT_EQ(host.handshakes(), 2);

    PostMessageW(first.hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(pumpUntil([] { return openViewers().size() == 1; }, 5000));
    EXPECT_EQ(openViewers().front().get(), &second);
    EXPECT_TRUE(IsWindow(second.hwnd));
    EXPECT_TRUE(second.connected);
}

// A connector that holds the connect until released, so that the test decides what the window
// hears and in which order.
struct HeldConnector {
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    PeerConnector connector() const {
        auto flag = release;
        return [flag](const std::vector<std::string>&, const RelayConfig*, const std::string&, std::string*,
                      bool) -> std::shared_ptr<FramedConn> {
            for (int i = 0; i < 1000 && !*flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            throw ProtoError("연결할 수 없습니다");
        };
    }
};

// A report as the session's threads hand one over.
void postReport(const ViewerWindow& window, ViewerReport::Kind kind, uint64_t generation, std::string text) {
    auto r = std::make_unique<ViewerReport>();
    r->kind = kind;
    r->generation = generation;
    r->text = std::move(text);
    // A hello comes parsed, as the connect thread read it.
    if (kind == ViewerReport::Connected && !Json::parse(r->text, r->value)) r->value = Json();
    postViewerReport(window.hwnd, window.reports(), std::move(r));
}

TEST_F(ViewerWindowWin, ReportsOfAReplacedConnectAreDroppedAndAnEarlyEndWaitsForItsConnect) {
    HeldConnector held;
    Peer peer;
    peer.name = "순서";
    peer.key = base64Encode(newKeyPair().publicKey);
    peer.addresses = {"127.0.0.1:9"};
    auto w = std::make_unique<ViewerWindow>(peer, Bytes(), std::string());
    w->sessionServices.connectPeer = held.connector();
    w->reconnectTiming.afterDropMs = 60000;  // no automatic attempt inside the test
    w->show();
    const uint64_t first = w->generation();

    // The session ends before its connect reports: applied right after the connect.
    postReport(*w, ViewerReport::Ended, first, "끊김");
    postReport(*w, ViewerReport::Connected, first, R"({"name":"순서 호스트","os":"mac"})");
    pumpFor(100);
    EXPECT_FALSE(w->connected);
    EXPECT_TRUE(w->autoReconnect);
    EXPECT_EQ(w->attempts, 1);
    EXPECT_EQ(w->lastError, "끊김");
    EXPECT_EQ(statusOf(*w), L"연결이 끊겼습니다 — 다시 연결 중…");

    // A new connect: what the replaced one still reports changes nothing.
    w->connect();
    const uint64_t second = w->generation();
    EXPECT_NE(second, first);
    postReport(*w, ViewerReport::ConnectFailed, first, "옛 실패");
    postReport(*w, ViewerReport::Connected, first, "{}");
    pumpFor(100);
    EXPECT_FALSE(w->connected);
    EXPECT_EQ(w->lastError, "끊김");
    EXPECT_EQ(statusOf(*w), L"다시 연결 중…");
    // The current connect's own report does count.
    postReport(*w, ViewerReport::Connected, second, "{}");
    pumpFor(100);
    EXPECT_TRUE(w->connected);
    EXPECT_EQ(statusOf(*w), L"화면 받는 중…");

    *held.release = true;
    w.reset();  // takes the window down with it
    pumpFor(100);
}

// Any program on the desktop can post the window its private messages. What one carries is never
// taken for a report (nor freed), and the reports of the window's own threads still arrive, in
// their order.
TEST_F(ViewerWindowWin, PrivateMessagesFromAnyoneHandTheWindowNothing) {
    HeldConnector held;
    Peer peer;
    peer.name = "남의 메시지";
    peer.key = base64Encode(newKeyPair().publicKey);
    peer.addresses = {"127.0.0.1:9"};
    auto w = std::make_unique<ViewerWindow>(peer, Bytes(), std::string());
    w->sessionServices.connectPeer = held.connector();
    w->show();
    const uint64_t current = w->generation();
    postReport(*w, ViewerReport::Connected, current, "{}");
    ASSERT_TRUE(pumpUntil([&] { return w->connected; }, 5000));

    // Reports of the current connect as a pointer would hand them over: the host's curtain up.
    std::vector<std::unique_ptr<ViewerReport>> forged;
    auto forge = [&](UINT message) {
        forged.push_back(std::make_unique<ViewerReport>());
        forged.back()->kind = ViewerReport::Curtain;
        forged.back()->generation = current;
        forged.back()->flag = true;
        EXPECT_TRUE(PostMessageW(w->hwnd, message, 1, reinterpret_cast<LPARAM>(forged.back().get())));
    };
    const char* const lines[] = {"첫째", "둘째", "셋째"};
    for (const char* line : lines) {
        postReport(*w, ViewerReport::Notice, current, line);
        for (UINT n = 0; n <= 32; ++n)
            if (WM_APP + n != WM_VIEWER_HOOK_KEY) forge(WM_APP + n);  // a key is no more than WM_KEYDOWN
    }
    postReport(*w, ViewerReport::Notice, current, "끝");  // its wake comes after every forged message
    ASSERT_TRUE(pumpUntil([&] { return statusOf(*w) == L"끝"; }, 5000)) << wideToUtf8(statusOf(*w));
    const bool taken = w->curtain;
    if (taken) {
        for (auto& r : forged) r.release();  // the window freed them
    }
    ASSERT_FALSE(taken);
    EXPECT_EQ(w->reports()->waiting(), 0u);

    // Values that point nowhere change nothing either.
    for (UINT n = 0; n <= 32; ++n)
        if (WM_APP + n != WM_VIEWER_HOOK_KEY) PostMessageW(w->hwnd, WM_APP + n, WPARAM(-1), LPARAM(0x10));
    postReport(*w, ViewerReport::Notice, current, "다시 끝");
    ASSERT_TRUE(pumpUntil([&] { return statusOf(*w) == L"다시 끝"; }, 5000));
    EXPECT_TRUE(w->connected);
    EXPECT_FALSE(w->curtain);
    *held.release = true;
    w.reset();
    pumpFor(100);
}

// The session's reports reach the window through one mailbox behind one wake: a flood of them
// while the window is busy leaves one message in its queue, only the latest description and as
// many notices as the mailbox's bound of bytes holds. The description arrives as the session's
// thread parsed it: one nested deeper than the parser takes would not survive a parse here.
TEST_F(ViewerWindowWin, AFloodOfReportsWaitsBehindOneWakeUnderABoundOfBytesAndComesParsed) {
    HeldConnector held;
    Peer peer;
    peer.name = "홍수";
    peer.key = base64Encode(newKeyPair().publicKey);
    peer.addresses = {"127.0.0.1:9"};
    auto w = std::make_unique<ViewerWindow>(peer, Bytes(), std::string());
    w->sessionServices.connectPeer = held.connector();
    w->reconnectTiming.afterDropMs = 60000;  // no automatic attempt inside the test
    w->show();
    pumpFor(100);
    ASSERT_TRUE(w->session);
    ClientSession& session = *w->session;

    Json deep;
    for (int i = 0; i <= Json::kMaxDepth; ++i) {
        Json outer;
        outer.push(std::move(deep));
        deep = std::move(outer);
    }
    const size_t noticeBytes = 16 * 1024;
    auto notice = [&](int i) {
        std::string text = std::to_string(i) + ":";
        return text + std::string(noticeBytes - text.size(), 'n');
    };
    // Nothing pumps while the reports come.
    for (int i = 0; i < 1000; ++i) {
        Json info;
        info.set("name", "홍수 호스트 " + std::to_string(i));
        info.set("deep", deep);
        session.onDisplayInfo(std::move(info));
        session.onNotice(notice(i));
    }
    MSG m;
    int messages = 0;
    while (PeekMessageW(&m, w->hwnd, WM_VIEWER_REPORTS, WM_VIEWER_REPORTS, PM_REMOVE)) {
        ++messages;
        DispatchMessageW(&m);
    }
    EXPECT_EQ(messages, 1) << "one wake, however many reports wait";

    postReport(*w, ViewerReport::Connected, w->generation(), R"({"name":"홍수 호스트"})");
    ASSERT_TRUE(pumpUntil([&] { return w->connected; }, 5000));
    pumpFor(100);
    EXPECT_EQ(w->titleName, "홍수 호스트 999");
    EXPECT_EQ(w->displayInfo.get("deep").dump(), deep.dump());
    // The last notice shown is the last one the bound of bytes let in (compared by its number).
    const std::string shown = wideToUtf8(statusOf(*w));
    const int lastKept = int(ReportMailbox::kMaxLineBytes / noticeBytes) - 1;
    EXPECT_EQ(shown.substr(0, shown.find(':')), std::to_string(lastKept));
    EXPECT_TRUE(shown == notice(lastKept)) << shown.size() << " bytes";

    *held.release = true;
    w.reset();  // takes the window down with it
    pumpFor(100);
}

TEST_F(ViewerWindowWin, AWindowClosedDuringItsOwnDialogIsDeletedOnlyAfterIt) {
    Peer peer;
    peer.name = "대화 중";
    peer.key = base64Encode(newKeyPair().publicKey);
    peer.addresses = {"127.0.0.1:9"};
    openViewer(peer, Bytes(), std::string());
    ViewerWindow* w = openViewers().back().get();
    const HWND handle = w->hwnd;

    bool listedAfterClose = false;
    int step = 0;
    ModalAction act([&] {
        HWND dialog = FindWindowW(L"TavrelDialog", L"시험 대화 상자");
        if (!dialog) return false;
        if (step == 0) {
            PostMessageW(handle, WM_CLOSE, 0, 0);
            step = 1;
            return false;
        }
        if (step == 1) {
            if (IsWindow(handle)) return false;
            pumpFor(100);  // the tray's queue runs here too
            listedAfterClose = openViewers().size() == 1 && openViewers().back().get() == w;
            step = 2;
            PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
            return true;
        }
        return false;
    });
    std::vector<Field> fields(1);
    fields[0].label = L"이름";
    const bool accepted = w->modal([&] {
        return runDialog(L"시험 대화 상자", L"", fields, L"확인", L"취소", L"", nullptr);
    });
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(act.done());
    EXPECT_TRUE(listedAfterClose);
    EXPECT_FALSE(IsWindow(handle));
    ASSERT_TRUE(pumpUntil([] { return openViewers().empty(); }, 5000));
}

}  // namespace
