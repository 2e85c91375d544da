// The host session end to end: the real server on loopback, the test viewer, GDI capture of the
// Xvfb screen, the stand-in H.264 encoder, the stand-in sound capture and AAC encoder, the real
// curtain, clipboard monitor and chat window, and input into a test window of this process.
#include <wmcodecdsp.h>
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/text.h"
#include "core/wire.h"
#include "host/chat.h"
#include "host/clipboard.h"
#include "host/curtain.h"
#include "host/history.h"
#include "host/power.h"
#include "host/server.h"
#include "host/session.h"
#include "media/cursor.h"
#include "media/png.h"
#include "media/stream.h"
#include "support/audio_fakes_win.h"
#include "support/clipboard_monitor_win.h"
#include "support/host_hooks.h"
#include "support/log_capture.h"
#include "support/paint_window.h"
#include "support/pump_win.h"
#include "support/recording_announcer.h"
#include "support/screenshot.h"
#include "support/session_peer.h"
#include "support/session_timing.h"
#include "support/stand_in_encoder_win.h"
#include "support/stand_in_server_win.h"
#include "support/test_viewer.h"

namespace {

constexpr int64_t kMs = 1'000'000;

// A small stream keeps the lossless stand-in's pictures small.
Json streamRequest(int fps = 20, bool audio = false) {
    SessionRequest r;
    r.os = "windows";
    r.fps = fps;
    r.viewW = 320;
    r.viewH = 256;
    r.audio = audio;
    return r.toJson();
}

int ownThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return n;
}

std::wstring textOf(HWND w) {
    const int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(GetWindowTextW(w, s.data(), n + 1)));
    return s;
}

// A window of this process to aim input at: an EDIT that records the keys it gets, on a frame
// that records clicks; its pointer is a shape of its own.
class TargetWindow {
public:
    TargetWindow() {
        static const bool registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = frameProc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"TavrelTestTarget";
            wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
            return RegisterClassW(&wc) != 0;
        }();
        (void)registered;
        cursor_ = makePointer();
        frame_ = CreateWindowExW(WS_EX_TOPMOST, L"TavrelTestTarget", L"입력 대상", WS_POPUP | WS_VISIBLE, kLeft, kTop,
                                 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        edit_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 20, 300, 30, frame_, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(edit_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        editProc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(edit_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TargetWindow::editProc)));
        SetForegroundWindow(frame_);
        SetFocus(edit_);
        pumpMessages();
    }
    ~TargetWindow() {
        DestroyWindow(frame_);
        DestroyCursor(cursor_);
    }

    HWND frame() const { return frame_; }
    HWND edit() const { return edit_; }
    // A point of the frame below the EDIT, in screen pixels. The window lies away from the top
    // left corner, where the chat window shows up.
    static constexpr int kLeft = 600, kTop = 500;
    POINT clickPoint() const { return {kLeft + 200, kTop + 200}; }

    std::atomic<int> downs{0}, ups{0};
    std::vector<WPARAM> keys;  // WM_KEYDOWN at the EDIT

private:
    // 32 x 32: black square with a white frame; hot spot (3, 5).
    static HCURSOR makePointer() {
        std::vector<uint8_t> andPlane(32 * 4, 0xFF), xorPlane(32 * 4, 0);
        for (int y = 4; y < 28; ++y)
            for (int x = 4; x < 28; ++x) {
                andPlane[size_t(y) * 4 + size_t(x / 8)] &= uint8_t(~(0x80 >> (x % 8)));
                if (x == 4 || x == 27 || y == 4 || y == 27)
                    xorPlane[size_t(y) * 4 + size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
            }
        return CreateCursor(GetModuleHandleW(nullptr), 3, 5, 32, 32, andPlane.data(), xorPlane.data());
    }
    static TargetWindow* of(HWND w) { return reinterpret_cast<TargetWindow*>(GetWindowLongPtrW(w, GWLP_USERDATA)); }
    static LRESULT CALLBACK frameProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        TargetWindow* self = of(w);
        if (self) {
            if (m == WM_LBUTTONDOWN) ++self->downs;
            if (m == WM_LBUTTONUP) ++self->ups;
            if (m == WM_SETCURSOR && LOWORD(lp) == HTCLIENT) {
                SetCursor(self->cursor_);
                return TRUE;
            }
        }
        return DefWindowProcW(w, m, wp, lp);
    }
    static LRESULT CALLBACK editProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        TargetWindow* self = of(w);
        if (m == WM_KEYDOWN) self->keys.push_back(wp);
        return CallWindowProcW(self->editProc_, w, m, wp, lp);
    }

    HWND frame_ = nullptr, edit_ = nullptr;
    WNDPROC editProc_ = nullptr;
    HCURSOR cursor_ = nullptr;
};

class SessionWin : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<ConfigStore>(profile.wide(), L"");
        store->update([](AppConfig& c) {
            c.deviceName = "윈도 호스트";
            c.fileTransfer = true;
            c.clipboard = true;
        });
        server = std::make_unique<HostServer>(*store, newKeyPair(),
                                              std::make_unique<RecordingAnnouncer>(announced));
        server->makeSession = hostSessionFactory(sessionOptions(shortSessionTiming()));
        ASSERT_TRUE(server->start(0, false, false, true));
        hooks->restartSystem = [this](uint32_t& error) {
            ++restarts;
            error = 5;
            return false;
        };
        hooks->sleepSystem = [this] {
            ++sleeps;
            return true;
        };
        hooks->sendDatagrams = [this](const std::vector<Datagram>& d) {
            datagrams += int(d.size());
            return int(d.size());
        };
    }

    void TearDown() override {
        peer.reset();
        server->stop();
        // The session's threads end and let go of it; wait so that the next test starts clean.
        EXPECT_TRUE(pumpUntil([&] { return !server->currentSession() && server->admissionsRunning() == 0; }, 5000));
        // Sessions use the store until their last thread lets go of them.
        EXPECT_TRUE(pumpUntil([&] {
            for (const auto& s : sessions)
                if (!s.expired()) return false;
            return true;
        }, 5000));
        server.reset();
        if (Curtain::instance().active) Curtain::instance().set(false);
    }

    HostSessionOptions sessionOptions(const HostSessionTiming& timing) {
        HostSessionOptions o;
        o.store = store.get();
        o.timing = timing;
        o.receiveFolder = [this] { return downloads.wide(); };
        return o;
    }
    // Hosting again, with sessions that wait as `timing` says.
    void restartWith(const HostSessionTiming& timing) {
        server->stop();
        server->makeSession = hostSessionFactory(sessionOptions(timing));
        ASSERT_TRUE(server->start(0, false, false, true));
    }

    void registerEncoder() {
        encoder = std::make_unique<LocalStandInEncoder>();
        ASSERT_TRUE(encoder->registered());
    }
    // Loopback capture of a 48 kHz stereo float mix and an AAC encoder, for the sound sender.
    void registerSound() {
        aacRegistration = registerFakeAacEncoder(std::make_shared<FakeAacEncoderLog>());
        ASSERT_EQ(aacRegistration->result(), S_OK);
        audio = std::make_unique<FakeCoreAudio>(makeMixFormat(48000, 2, 32, MixSamples::Float, true));
        ASSERT_EQ(audio->registration(), S_OK);
    }

    // A viewer admitted as a paired device with this request, read by `peer`.
    void connect(const Json& request) {
        viewer = std::make_unique<TestViewer>("뷰어 PC");
        store->update([&](AppConfig& c) {
            Peer p;
            p.name = viewer->name;
            p.key = base64Encode(viewer->device.publicKey);
            p.added = 1;
            c.allowed.push_back(p);
        });
        ASSERT_TRUE(viewer->dial(server->port()));
        ASSERT_EQ(viewer->tryPaired(server->deviceKey().publicKey), "");
        ASSERT_TRUE(viewer->sendRequest(request));
        peer = std::make_unique<SessionPeer>(viewer->channel);
        ASSERT_TRUE(pumpUntil([&] { return session() != nullptr; }, 5000));
        sessions.push_back(session());
    }

    std::shared_ptr<HostSession> session() { return std::dynamic_pointer_cast<HostSession>(server->currentSession()); }

    // The next message of the type, pumping this thread's windows (clipboard, test windows)
    // and moving the animation meanwhile.
    std::optional<ChannelMessage> next(MsgType type, int ms = 5000) {
        std::optional<ChannelMessage> got;
        pumpUntil([&] {
            animate();
            got = peer->next(type, 0);
            return got.has_value();
        }, ms);
        return got;
    }
    bool pumpFor(const std::function<bool()>& done, int ms = 5000) {
        return pumpUntil([&] {
            animate();
            return done();
        }, ms);
    }
    bool noticeArrives(const std::string& text) {
        return pumpFor([&] {
            auto all = peer->notices();
            return std::find(all.begin(), all.end(), text) != all.end();
        });
    }
    // Acknowledges every frame that came, as the viewer's decoder does.
    void acknowledge() {
        while (auto f = peer->next(MsgType::VideoFrame, 0))
            peer->send(MsgType::FrameAck, encodeU32(VideoFrameMsg::decode(f->payload).frameNumber));
    }

    // A window whose colour changes at every pump: a screen that keeps changing.
    void startAnimation() {
        animation = std::make_unique<PaintWindow>(RECT{1050, 50, 1250, 250}, [](HDC, const RECT&) {});
    }
    void animate() {
        if (!animation) return;
        const COLORREF c = RGB(colour * 37 % 256, colour * 91 % 256, colour * 13 % 256);
        ++colour;
        animation->repaint([c](HDC dc, const RECT& r) { fillRect(dc, r, c); });
    }

    TempFolder profile, downloads;
    std::unique_ptr<ConfigStore> store;
    std::shared_ptr<RecordingAnnouncer::Record> announced = std::make_shared<RecordingAnnouncer::Record>();
    std::unique_ptr<HostServer> server;
    std::unique_ptr<LocalStandInEncoder> encoder;
    std::unique_ptr<ClassRegistration> aacRegistration;
    std::unique_ptr<FakeCoreAudio> audio;
    std::unique_ptr<TestViewer> viewer;
    std::unique_ptr<SessionPeer> peer;
    std::unique_ptr<PaintWindow> animation;
    std::vector<std::weak_ptr<HostSession>> sessions;
    int colour = 1;
    ScopedHostHooks hooks;
    LogCapture log;
    std::atomic<int> restarts{0}, sleeps{0}, datagrams{0};
};

// ---- The stream ----

TEST_F(SessionWin, StatusDisplayInfoHeaderAndPacedFrames) {
    registerEncoder();
    startAnimation();
    connect(streamRequest(10));
    auto status = next(MsgType::Status);
    ASSERT_TRUE(status);
    EXPECT_EQ(spanToString(status->payload), "{\"locked\":false,\"curtain\":false}");
    auto info = next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    Json j;
    ASSERT_TRUE(decodeJson(info->payload, j));
    EXPECT_EQ(j.get("name").asString(), "윈도 호스트");
    EXPECT_EQ(j.get("width").number, 320);
    EXPECT_EQ(j.get("height").number, 256);
    EXPECT_EQ(j.get("displays").items.size(), 1u);
    EXPECT_TRUE(j.get("displays").items[0].get("main").asBool(false));

    auto header = next(MsgType::StreamHeader);
    ASSERT_TRUE(header);
    const StreamHeader h = StreamHeader::read(header->payload);
    EXPECT_EQ(h.codec, 1);
    EXPECT_EQ(h.nalLengthSize, 4);
    EXPECT_EQ(h.width, 320u);
    EXPECT_EQ(h.height, 256u);
    EXPECT_EQ(h.parameterSets.size(), 2u);

    // Paced at 10 a second while every frame is acknowledged.
    ASSERT_TRUE(pumpFor([&] {
        acknowledge();
        return peer->count(MsgType::VideoFrame) >= 2;
    }));
    const size_t before = peer->count(MsgType::VideoFrame);
    const int64_t start = nowNanos();
    pumpFor([&] {
        acknowledge();
        return nowNanos() - start >= 1000 * kMs;
    }, 2000);
    const size_t inOneSecond = peer->count(MsgType::VideoFrame) - before;
    EXPECT_GE(inOneSecond, 3u);
    EXPECT_LE(inOneSecond, 12u);
    const VideoFrameMsg first = VideoFrameMsg::decode(peer->all(MsgType::VideoFrame).front().payload);
    EXPECT_EQ(first.frameNumber, 1u);
    EXPECT_TRUE(first.keyFrame);
    EXPECT_TRUE(log.has("화면 보내기: 디스플레이 0 320x256 10fps "));
    EXPECT_TRUE(log.has(" GDI"));
}

TEST_F(SessionWin, UnacknowledgedFramesStopAtTheLimitThenResume) {
    // Frames expire late enough that the window fills first, however slow the machine.
    HostSessionTiming timing = shortSessionTiming();
    timing.frameExpiryNs = 2'000'000'000;
    restartWith(timing);
    registerEncoder();
    startAnimation();
    connect(streamRequest(30));
    ASSERT_TRUE(next(MsgType::DisplayInfo));
    // No acknowledgement at all: the window of 3 fills, and no frame beyond it goes out until the
    // first expires; then the stream goes on.
    int mostInFlight = 0;
    EXPECT_TRUE(pumpFor([&] {
        const CaptureState c = session()->captureSnapshot();
        EXPECT_LE(c.frames.inFlight(), FrameWindow::kInitialLimit);
        mostInFlight = std::max(mostInFlight, c.frames.inFlight());
        return c.framesSent > FrameWindow::kInitialLimit;
    }, 15000));
    EXPECT_EQ(mostInFlight, FrameWindow::kInitialLimit);
    EXPECT_TRUE(pumpFor([&] { return peer->count(MsgType::VideoFrame) >= 4; }));
}

TEST_F(SessionWin, KeyFrameRequestBringsHeaderAndKeyFrame) {
    registerEncoder();
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::StreamHeader));
    ASSERT_TRUE(pumpFor([&] {
        acknowledge();
        return peer->count(MsgType::VideoFrame) >= 1;
    }));
    pumpFor([&] {
        acknowledge();
        return false;
    }, 200);
    const size_t frames = peer->count(MsgType::VideoFrame);
    peer->send(MsgType::KeyFrameRequest);
    ASSERT_TRUE(next(MsgType::StreamHeader));
    ASSERT_TRUE(pumpFor([&] { return peer->count(MsgType::VideoFrame) > frames; }));
    const VideoFrameMsg v = VideoFrameMsg::decode(peer->all(MsgType::VideoFrame)[frames].payload);
    EXPECT_TRUE(v.keyFrame);
}

TEST_F(SessionWin, EncoderKnobsShrinkTheSizeAndAFailedEncodeSetsUpAgain) {
    registerEncoder();
    StandInEncoderKnobs knobs;
    knobs.maxWidth = 200;
    encoder->state().setKnobs(knobs);
    startAnimation();
    connect(streamRequest(20));
    auto info = next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    Json j;
    ASSERT_TRUE(decodeJson(info->payload, j));
    // 320, 256 and 204 are refused; 320 x 0.512 is taken.
    EXPECT_EQ(j.get("width").number, 162);
    EXPECT_EQ(j.get("height").number, 130);
    ASSERT_TRUE(next(MsgType::StreamHeader));

    knobs.failProcessOutput = true;
    encoder->state().setKnobs(knobs);
    ASSERT_TRUE(pumpFor([&] {
        acknowledge();
        return log.has("인코딩 실패 — 다시 시작");
    }));
    knobs.failProcessOutput = false;
    encoder->state().setKnobs(knobs);
    EXPECT_TRUE(next(MsgType::DisplayInfo));
    EXPECT_TRUE(pumpFor([&] {
        acknowledge();
        return peer->count(MsgType::StreamHeader) >= 2;
    })) << log.text();
}

TEST_F(SessionWin, NoEncoderGivesOneNoticeAndSetUpRetries) {
    WithoutInstalledStandIns bare;
    connect(streamRequest(20));
    const std::string text = "원격 PC 의 화면을 가져올 수 없습니다. 잠금 화면이거나 화면이 꺼져 있을 수 있습니다.";
    ASSERT_TRUE(noticeArrives(text));
    ASSERT_TRUE(pumpFor([&] { return log.count("H.264 인코더 없음") >= 12; }));  // two set-ups of six tries
    EXPECT_EQ(log.count("화면 가져오기 실패"), 1);
    registerEncoder();
    EXPECT_TRUE(next(MsgType::DisplayInfo));
    auto notices = peer->notices();
    EXPECT_EQ(std::count(notices.begin(), notices.end(), text), 1);
}

// ---- Pointer, caret, input ----

TEST_F(SessionWin, PointerShapeCaretAndInputOfATestWindow) {
    registerEncoder();
    TargetWindow target;
    const POINT p = target.clickPoint();
    SetCursorPos(p.x, p.y);
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::DisplayInfo));

    // The pointer over the test window has its own shape.
    ASSERT_TRUE(pumpFor([&] {
        for (const ChannelMessage& m : peer->all(MsgType::Cursor)) {
            auto shape = CursorShapeMessage::read(m.payload);
            if (shape && shape->width == 32 && shape->hotX == 3 && shape->hotY == 5) return true;
        }
        return false;
    }));

    // The focused EDIT of the foreground window is reported as the caret's place.
    ASSERT_TRUE(pumpFor([&] {
        for (const ChannelMessage& m : peer->all(MsgType::Caret)) {
            CaretMsg c;
            if (CaretMsg::decode(m.payload, c) && c.edit && c.hasRect) return true;
        }
        return false;
    }));
    CaretMsg caret;
    for (const ChannelMessage& m : peer->all(MsgType::Caret)) CaretMsg::decode(m.payload, caret);
    POINT at{};
    ASSERT_TRUE(GetCaretPos(&at));
    ClientToScreen(target.edit(), &at);
    const int screenW = GetSystemMetrics(SM_CXSCREEN);
    EXPECT_NEAR(caret.x, double(at.x - 60) / screenW, 0.001);
    EXPECT_NEAR(caret.w, 300.0 / screenW, 0.001);

    // A click, typed text and a key the table sends by its virtual key.
    const double fx = double(p.x) / (screenW - 1), fy = double(p.y) / (GetSystemMetrics(SM_CYSCREEN) - 1);
    peer->send(MsgType::Mouse, MouseEvent{1, 0, float(fx), float(fy), 1, 0}.encode());
    peer->send(MsgType::Mouse, MouseEvent{2, 0, float(fx), float(fy), 1, 0}.encode());
    EXPECT_TRUE(pumpFor([&] { return target.downs == 1 && target.ups == 1; }));
    SetFocus(target.edit());
    peer->sendText(MsgType::TypeText, "héllo 한");
    EXPECT_TRUE(pumpFor([&] { return textOf(target.edit()) == L"héllo 한"; })) << wideToUtf8(textOf(target.edit()));
    peer->send(MsgType::Key, encodeKeyEvent(keyHangul, 1, 0, false));
    peer->send(MsgType::Key, encodeKeyEvent(keyHangul, 0, 0, false));
    EXPECT_TRUE(pumpFor([&] {
        return std::find(target.keys.begin(), target.keys.end(), WPARAM(VK_HANGUL)) != target.keys.end();
    }));
    saveScreenshot(target.frame());
}

TEST_F(SessionWin, FocusOnAClosedWindowStreamsTheWholeDisplay) {
    registerEncoder();
    uint32_t gone;
    {
        TargetWindow closed;
        gone = uint32_t(reinterpret_cast<uintptr_t>(closed.frame()));
    }
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::DisplayInfo));
    peer->send(MsgType::FocusWindow, encodeU32(gone));
    EXPECT_TRUE(noticeArrives("고른 창을 찾을 수 없습니다"));
    auto info = next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    Json j;
    ASSERT_TRUE(decodeJson(info->payload, j));
    EXPECT_FALSE(j.has("window"));
    EXPECT_EQ(session()->captureSnapshot().window, 0u);
}

// ---- Desktop services ----

TEST_F(SessionWin, ClipboardBothWays) {
    ASSERT_TRUE(startClipboardMonitorHere());
    registerEncoder();
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::Status));

    // The viewer's text lands on this PC's clipboard and is not sent back.
    const std::string fromViewer = "뷰어에서 온 글";
    Bytes payload{kClipboardText};
    payload.insert(payload.end(), fromViewer.begin(), fromViewer.end());
    peer->send(MsgType::Clipboard, payload);
    std::wstring text;
    ASSERT_TRUE(pumpFor([&] {
        if (!OpenClipboard(nullptr)) return false;
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        if (data) {
            text = static_cast<const wchar_t*>(GlobalLock(data));
            GlobalUnlock(data);
        }
        CloseClipboard();
        return text == utf8ToWide(fromViewer);
    }));
    pumpFor([] { return false; }, 200);
    EXPECT_EQ(peer->count(MsgType::Clipboard), 0u);

    // Text copied here by another window goes to the viewer.
    const std::wstring copied = L"호스트에서 복사";
    HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    ASSERT_TRUE(OpenClipboard(owner));
    EmptyClipboard();
    HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, (copied.size() + 1) * sizeof(wchar_t));
    std::memcpy(GlobalLock(m), copied.c_str(), (copied.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(m);
    SetClipboardData(CF_UNICODETEXT, m);
    CloseClipboard();
    auto clip = next(MsgType::Clipboard);
    DestroyWindow(owner);
    ASSERT_TRUE(clip);
    ASSERT_FALSE(clip->payload.empty());
    EXPECT_EQ(clip->payload[0], kClipboardText);
    EXPECT_EQ(std::string(clip->payload.begin() + 1, clip->payload.end()), wideToUtf8(copied));
}

TEST_F(SessionWin, ChatBothWaysAndCurtainInStatus) {
    registerEncoder();
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::Status));

    peer->sendText(MsgType::Chat, "안녕하세요");
    HWND chat = nullptr;
    ASSERT_TRUE(pumpFor([&] {
        chat = FindWindowW(L"TavrelChat", L"메시지 \u2014 뷰어 PC");
        return chat && IsWindowVisible(chat);
    }));
    HWND logEdit = nullptr, input = nullptr;
    for (HWND c = FindWindowExW(chat, nullptr, L"EDIT", nullptr); c; c = FindWindowExW(chat, c, L"EDIT", nullptr))
        (GetWindowLongW(c, GWL_STYLE) & ES_READONLY ? logEdit : input) = c;
    ASSERT_TRUE(logEdit && input);
    EXPECT_TRUE(pumpFor([&] { return textOf(logEdit).find(L"뷰어 PC: 안녕하세요") != std::wstring::npos; }));
    SetWindowTextW(input, L"반갑습니다");
    SendMessageW(chat, WM_COMMAND, 4101, 0);
    auto reply = next(MsgType::Chat);
    ASSERT_TRUE(reply);
    EXPECT_EQ(spanToString(reply->payload), "반갑습니다");
    saveScreenshot(chat, "SessionWin.Chat");

    peer->send(MsgType::CurtainSwitch, encodeSwitch(true));
    EXPECT_TRUE(pumpFor([&] {
        for (const ChannelMessage& s : peer->all(MsgType::Status))
            if (spanToString(s.payload) == "{\"locked\":false,\"curtain\":true}") return true;
        return false;
    }));
    peer->send(MsgType::CurtainSwitch, encodeSwitch(false));
    EXPECT_TRUE(pumpFor([&] {
        auto all = peer->all(MsgType::Status);
        return spanToString(all.back().payload) == "{\"locked\":false,\"curtain\":false}";
    }));
}

TEST_F(SessionWin, SoundSwitchSendsFormatAndFrames) {
    registerEncoder();
    registerSound();
    FakeCoreAudio::Packet silent;
    silent.frames = 1024;
    silent.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    connect(streamRequest(20));
    ASSERT_TRUE(next(MsgType::Status));
    peer->send(MsgType::AudioSwitch, encodeSwitch(true));
    auto format = next(MsgType::AudioFormat);
    ASSERT_TRUE(format);
    EXPECT_EQ(spanToString(format->payload), R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})");
    ASSERT_TRUE(pumpFor([&] {
        if (audio->packetsLeft() == 0) audio->push(silent);
        return peer->count(MsgType::AudioFrame) >= 3;
    }));
    peer->send(MsgType::AudioSwitch, encodeSwitch(false));
    EXPECT_TRUE(pumpFor([&] { return audio->stopped(); }));
}

TEST_F(SessionWin, PingPowerAndWakeGoThroughTheHooks) {
    connect(streamRequest(20));
    peer->send(MsgType::Ping, encodePing(42));
    auto pong = next(MsgType::Pong);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->payload, encodePing(42));

    peer->send(MsgType::Power, encodeU8(1));
    EXPECT_TRUE(noticeArrives(restartFailureText(5)));
    peer->send(MsgType::Power, encodeU8(2));
    EXPECT_TRUE(pumpFor([&] { return sleeps == 1; }));
    EXPECT_EQ(restarts.load(), 1);

    Json target;
    target.set("mac", "00:11:22:33:44:55");
    Json targets;
    targets.tag = Json::kArray;
    targets.push(target);
    peer->send(MsgType::WakeRequest, encodeWakeRequest(targets));
    EXPECT_TRUE(noticeArrives("깨우기 신호를 보냈습니다"));
    EXPECT_EQ(datagrams.load(), 3);  // no subnet broadcast given: three to 255.255.255.255
}

// ---- Close ----

TEST_F(SessionWin, CloseReleasesEverythingAndLeavesNoThreadBehind) {
    registerEncoder();
    registerSound();
    TargetWindow target;
    const POINT p = target.clickPoint();
    const double fx = double(p.x) / (GetSystemMetrics(SM_CXSCREEN) - 1);
    const double fy = double(p.y) / (GetSystemMetrics(SM_CYSCREEN) - 1);

    // Everything a session starts, then its close: once to warm the process up, once measured.
    int threadsAfterWarmUp = 0;
    for (int round = 0; round < 2; ++round) {
        target.downs = target.ups = 0;
        connect(streamRequest(20, true));
        ASSERT_TRUE(next(MsgType::AudioFormat));
        ASSERT_TRUE(next(MsgType::VideoFrame));
        peer->sendText(MsgType::Chat, "마지막 인사");
        peer->send(MsgType::CurtainSwitch, encodeSwitch(true));
        peer->send(MsgType::ListApps);
        peer->send(MsgType::Mouse, MouseEvent{1, 0, float(fx), float(fy), 1, 0}.encode());
        ASSERT_TRUE(pumpFor([&] { return target.downs == 1 && Curtain::instance().active.load(); }));
        ASSERT_TRUE(next(MsgType::AppList));
        HWND logEdit = nullptr;
        ASSERT_TRUE(pumpFor([&] {
            HWND chat = FindWindowW(L"TavrelChat", L"메시지 \u2014 뷰어 PC");
            for (HWND c = FindWindowExW(chat, nullptr, L"EDIT", nullptr); chat && c;
                 c = FindWindowExW(chat, c, L"EDIT", nullptr))
                if (GetWindowLongW(c, GWL_STYLE) & ES_READONLY) logEdit = c;
            return logEdit != nullptr;
        }));
        // Held here, the session keeps its chat window open to be read after the close.
        std::shared_ptr<HostSession> held = session();
        const double at = held->historyId;
        ASSERT_GT(at, 0);

        server->closeSessions();
        EXPECT_TRUE(peer->waitClosed());
        EXPECT_TRUE(pumpFor([&] { return target.ups == 1; }));  // the held button let go
        EXPECT_FALSE(Curtain::instance().active.load());
        ASSERT_TRUE(logEdit);
        EXPECT_TRUE(pumpFor([&] { return textOf(logEdit).find(L"연결이 끊겼습니다") != std::wstring::npos; }));
        bool ended = false;
        for (const Json& r : loadHistory().items)
            if (r.get("at").number == at) ended = r.has("end");
        EXPECT_TRUE(ended);
        EXPECT_TRUE(pumpFor([&] { return !server->currentSession(); }));
        EXPECT_EQ(log.count("연결 끊김: 뷰어 PC "), round + 1);  // the end callback ran once
        held.reset();
        peer.reset();

        ASSERT_TRUE(pumpFor([&] { return sessions.back().expired(); }));
        if (round == 0) {
            // Give the warm-up's threads time to end before counting.
            pumpFor([] { return false; }, 1000);
            threadsAfterWarmUp = ownThreads();
        } else {
            EXPECT_TRUE(pumpFor([&] { return ownThreads() <= threadsAfterWarmUp; }, 5000))
                << ownThreads() << " threads, " << threadsAfterWarmUp << " after the warm-up";
        }
    }
}

}  // namespace
