// The viewer session with the product's devices under Wine: a stream of lossless I_PCM pictures
// through the system's H.264 decoder and the Direct3D renderer into a video window, and sound
// messages to the player.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "core/wire.h"
#include "media/stream.h"
#include "net/connect.h"
#include "support/lossless_h264.h"
#include "support/pump_win.h"
#include "support/screenshot.h"
#include "support/session_rig.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// A plain top-level window standing in for the viewer's video child.
class VideoWindow {
public:
    VideoWindow() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TavrelSessionTestVideo";
        RegisterClassExW(&wc);
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"영상", WS_POPUP | WS_VISIBLE, 40, 40, 320, 240, nullptr, nullptr,
                               wc.hInstance, nullptr);
    }
    ~VideoWindow() {
        if (hwnd) DestroyWindow(hwnd);
    }
    HWND hwnd = nullptr;
};

// An NV12 picture: mid grey (limited-range luma 126 is 128 on the screen), with a band in the
// top rows that moves with the picture number.
std::vector<uint8_t> picture(int n) {
    std::vector<uint8_t> nv12(size_t(kWidth) * kHeight * 3 / 2, 128);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            nv12[size_t(y) * kWidth + size_t(x)] = y < 8 && (x + n * 4) % kWidth < 8 ? 235 : 126;
    return nv12;
}

// The colour the screen shows at the centre of a window.
COLORREF centreColour(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    HDC screen = GetDC(nullptr);
    const COLORREF c = GetPixel(screen, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ReleaseDC(nullptr, screen);
    return c;
}

TEST(SessionMediaWin, LosslessFramesThroughTheSystemDecoderGiveOneFirstPicture) {
    VideoWindow window;
    ASSERT_TRUE(window.hwnd);
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    SessionServices services;  // the product's devices and clock
    services.connectPeer = [](const std::vector<std::string>& addresses, const RelayConfig*, const std::string& id,
                              std::string* routeText, bool relayOnly) {
        return connectPeer(addresses, nullptr, id, routeText, relayOnly);
    };
    auto session = std::make_shared<ClientSession>(host.peer(), newKeyPair(), Bytes(), window.hwnd, "", services);
    SessionEvents events;
    events.install(*session);
    session->connect(Json(), nullptr);

    LosslessH264Writer writer(kWidth, kHeight);
    StreamHeader header;
    header.width = kWidth;
    header.height = kHeight;
    header.parameterSets = {writer.sps(), writer.pps()};
    ASSERT_TRUE(host.send(MsgType::StreamHeader, StreamHeader::encode(header)));

    // The decoder holds back its first pictures (Wine's gives the first after about 8 inputs).
    uint32_t sent = 0;
    while (events.of("first-picture").empty() && sent < 32) {
        const std::vector<uint8_t> annexB = writer.encode(picture(int(sent)).data(), sent == 0);
        const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
        ++sent;
        ASSERT_TRUE(host.send(MsgType::VideoFrame, encodeVideoFrame(sent, unit.keyFrame, unit.payload)));
        ASSERT_TRUE(pumpUntil([&] { return host.received(MsgType::FrameAck).size() >= sent; }, 10000));
    }
    ASSERT_FALSE(events.of("first-picture").empty()) << "no picture after " << sent << " frames";
    // A few more pictures: shown, but the first is reported once.
    for (int i = 0; i < 4; ++i) {
        const std::vector<uint8_t> annexB = writer.encode(picture(int(sent)).data(), false);
        const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
        ++sent;
        ASSERT_TRUE(host.send(MsgType::VideoFrame, encodeVideoFrame(sent, unit.keyFrame, unit.payload)));
    }
    ASSERT_TRUE(pumpUntil([&] { return host.received(MsgType::FrameAck).size() >= sent; }, 10000));
    pumpFor(100);
    saveScreenshot(window.hwnd);
    // The picture reached the window: grey where the renderer draws black before any picture.
    const COLORREF centre = centreColour(window.hwnd);
    for (int channel : {GetRValue(centre), GetGValue(centre), GetBValue(centre)}) EXPECT_NEAR(channel, 128, 4);

    std::vector<uint32_t> acks;
    for (const Bytes& p : host.received(MsgType::FrameAck)) acks.push_back(loadBe32(p.data()));
    std::vector<uint32_t> expected;
    for (uint32_t n = 1; n <= sent; ++n) expected.push_back(n);
    EXPECT_EQ(acks, expected);
    EXPECT_EQ(events.of("first-picture").size(), 1u);
    EXPECT_GE(session->picturesShown.load(), 5);
    EXPECT_EQ(session->takeStats().frames, int32_t(sent));
    EXPECT_EQ(session->codecName, "H.264");
    EXPECT_TRUE(host.received(MsgType::KeyFrameRequest).empty());  // nothing failed to decode

    std::weak_ptr<ClientSession> weak = session;
    session->close();
    session.reset();
    EXPECT_TRUE(pumpUntil([&] { return weak.expired(); }, 5000));
}

}  // namespace
