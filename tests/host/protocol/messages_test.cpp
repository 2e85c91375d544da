#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/wire.h"
#include "files/listing.h"
#include "host/protocol/keymap.h"
#include "host/protocol/messages.h"
#include "support/json_shapes.h"
#include "support/log_capture.h"
#include "support/payload_cases.h"
#include "support/short_message.h"

namespace {

// Every proper prefix of a fixed layout fails as a short message.
void expectEveryPrefixShort(const Bytes& full, size_t fixedSize,
                            const std::function<void(ByteSpan)>& decode) {
    ASSERT_GE(full.size(), fixedSize);
    for (size_t n = 0; n < fixedSize; ++n) {
        SCOPED_TRACE("prefix of " + std::to_string(n) + " bytes");
        expectShort([&] { decode(ByteSpan(full.data(), n)); });
    }
}

ByteSpan span(const Bytes& b) { return ByteSpan(b.data(), b.size()); }

TEST(MsgType, ValuesAreTheWireBytes) {
    struct Row { MsgType t; int v; };
    const Row rows[] = {
        {MsgType::SessionRequest, 1}, {MsgType::DisplayInfo, 2}, {MsgType::StreamHeader, 16},
        {MsgType::VideoFrame, 17}, {MsgType::FrameAck, 18}, {MsgType::KeyFrameRequest, 19},
        {MsgType::AudioFormat, 20}, {MsgType::AudioFrame, 21}, {MsgType::AudioSwitch, 22},
        {MsgType::Mouse, 32}, {MsgType::Wheel, 33}, {MsgType::Key, 34}, {MsgType::ReleaseAll, 35},
        {MsgType::KeyCombo, 36}, {MsgType::TypeText, 37}, {MsgType::LockLogin, 38},
        {MsgType::Clipboard, 48}, {MsgType::Cursor, 49}, {MsgType::Ping, 64}, {MsgType::Pong, 65},
        {MsgType::SelectDisplay, 80}, {MsgType::ViewSize, 82}, {MsgType::ShortcutMode, 83},
        {MsgType::Quality, 84}, {MsgType::CurtainSwitch, 85}, {MsgType::Power, 86},
        {MsgType::WakeRequest, 87}, {MsgType::Chat, 88}, {MsgType::Notice, 96},
        {MsgType::Status, 97}, {MsgType::Caret, 98}, {MsgType::FileBegin, 112},
        {MsgType::FileData, 113}, {MsgType::FileEnd, 114}, {MsgType::FileAbort, 115},
        {MsgType::FileAck, 116}, {MsgType::FileSaved, 117}, {MsgType::FileRefused, 118},
        {MsgType::PasteFiles, 119}, {MsgType::ListFolder, 120}, {MsgType::FolderListing, 121},
        {MsgType::SendFiles, 122}, {MsgType::SetDownloadFolder, 123}, {MsgType::ListApps, 128},
        {MsgType::AppList, 129}, {MsgType::LaunchProgram, 130}, {MsgType::FocusWindow, 131},
    };
    for (const Row& r : rows) EXPECT_EQ(static_cast<int>(r.t), r.v);
    static_assert(sizeof(MsgType) == 1);
}

TEST(MsgMouseEvent, ExactBytes) {
    MouseEvent e;
    e.action = 1;
    e.button = 3;
    e.x = 0.5f;
    e.y = 1.0f;
    e.clicks = 2;
    e.flags = 0x0102030405060708ull;
    const Bytes want{0x01, 0x03, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x02,
                     0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(e.encode(), want);

    MouseEvent d = MouseEvent::decode(span(want));
    EXPECT_EQ(d.action, 1);
    EXPECT_EQ(d.button, 3);
    EXPECT_EQ(d.x, 0.5f);
    EXPECT_EQ(d.y, 1.0f);
    EXPECT_EQ(d.clicks, 2);
    EXPECT_EQ(d.flags, 0x0102030405060708ull);

    expectEveryPrefixShort(want, 19, [](ByteSpan p) { MouseEvent::decode(p); });
    Bytes longer = want;
    longer.push_back(0xEE);
    EXPECT_EQ(MouseEvent::decode(span(longer)).flags, 0x0102030405060708ull);
}

// The decoder keeps every value as sent; what a value that is not finite means is the injector's
// decision alone (a release then keeps the last position).
TEST(MsgMouseEvent, CoordinatesPassAsSent) {
    const float values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), -0.5f, 1e30f};
    for (float v : values) {
        MouseEvent e;
        e.x = v;
        e.y = 0.25f;
        MouseEvent d = MouseEvent::decode(span(e.encode()));
        EXPECT_EQ(std::memcmp(&d.x, &v, sizeof v), 0) << v;
        EXPECT_EQ(d.y, 0.25f);
        e.x = 0.75f;
        e.y = v;
        d = MouseEvent::decode(span(e.encode()));
        EXPECT_EQ(d.x, 0.75f);
        EXPECT_EQ(std::memcmp(&d.y, &v, sizeof v), 0) << v;
    }
}

TEST(MsgWheelEvent, ExactBytes) {
    WheelEvent e;
    e.dx = -48.0f;
    e.dy = 0.5f;
    e.precise = true;
    e.flags = 0x100;
    const Bytes want{0xC2, 0x40, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(e.encode(), want);
    WheelEvent d = WheelEvent::decode(span(want));
    EXPECT_EQ(d.dx, -48.0f);
    EXPECT_EQ(d.dy, 0.5f);
    EXPECT_TRUE(d.precise);
    EXPECT_EQ(d.flags, 0x100u);
    expectEveryPrefixShort(want, 19, [](ByteSpan p) { WheelEvent::decode(p); });

    // Any non-zero precise byte is true; the two reserved bytes are not looked at.
    Bytes other = want;
    other[8] = 0x80;
    other[9] = 0xAA;
    other[10] = 0x55;
    d = WheelEvent::decode(span(other));
    EXPECT_TRUE(d.precise);
    EXPECT_EQ(d.flags, 0x100u);
    other[8] = 0;
    EXPECT_FALSE(WheelEvent::decode(span(other)).precise);
}

TEST(MsgWheelEvent, AmountsPassAsSent) {
    WheelEvent e;
    e.dx = std::numeric_limits<float>::quiet_NaN();
    e.dy = -std::numeric_limits<float>::infinity();
    WheelEvent d = WheelEvent::decode(span(e.encode()));
    EXPECT_TRUE(std::isnan(d.dx));
    EXPECT_EQ(d.dy, -std::numeric_limits<float>::infinity());
}

TEST(MsgKeyEventEncode, ExactBytes) {
    EXPECT_EQ(encodeKeyEvent(0xF001, 1, 0x0000000000120108ull, true),
              (Bytes{0xF0, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x01, 0x08, 0x01}));
    EXPECT_EQ(encodeKeyEvent(55, 2, 0x100, false),
              (Bytes{0x00, 0x37, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
}

TEST(MsgKeyEventEncode, RoundTripsThroughTheKeyDecoder) {
    Bytes p = encodeKeyEvent(123, 1, 0xA00100ull, true);
    KeyEvent e = decodeKeyEvent(span(p));
    EXPECT_EQ(e.code, 123);
    EXPECT_EQ(e.kind, 1);
    EXPECT_EQ(e.flags, 0xA00100ull);
    EXPECT_TRUE(e.repeat);
    // Without the repeat byte the payload is short.
    expectEveryPrefixShort(p, 12, [](ByteSpan q) { decodeKeyEvent(q); });
}

TEST(MsgKeyCombo, ExactBytesAndCaps) {
    const Bytes two{0x02, 0x00, 0x37, 0x00, 0x25};
    EXPECT_EQ(encodeKeyCombo({55, 37}), two);
    EXPECT_EQ(decodeKeyCombo(span(two)), (std::vector<uint16_t>{55, 37}));
    EXPECT_EQ(encodeKeyCombo({}), Bytes{0x00});
    EXPECT_TRUE(decodeKeyCombo(span(Bytes{0x00})).empty());
    expectShort([] { decodeKeyCombo(ByteSpan()); });

    // Nine codes announced and present: the first eight are used.
    std::vector<uint16_t> nine{1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes p = encodeKeyCombo(nine);
    ASSERT_EQ(p.size(), 19u);
    EXPECT_EQ(p[0], 9);
    EXPECT_EQ(decodeKeyCombo(span(p)), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    // Nine announced but only eight present still gives the eight the host uses.
    p.resize(17);
    EXPECT_EQ(decodeKeyCombo(span(p)).size(), 8u);
    // Fewer codes than announced (up to eight): short, at every cut.
    expectEveryPrefixShort(p, 17, [](ByteSpan q) { decodeKeyCombo(q); });
    expectShort([] { decodeKeyCombo(span(Bytes{0x03, 0x00, 0x37, 0x00, 0x25})); });

    // More than 255 codes: the count byte still matches what is written.
    std::vector<uint16_t> many(300, 0x0102);
    Bytes big = encodeKeyCombo(many);
    EXPECT_EQ(big[0], 255);
    EXPECT_EQ(big.size(), 1u + 2 * 255);
}

TEST(MsgSmallPayloads, ExactBytesAndShortReads) {
    EXPECT_EQ(encodeSwitch(true), Bytes{0x01});
    EXPECT_EQ(encodeSwitch(false), Bytes{0x00});
    EXPECT_TRUE(decodeSwitch(span(Bytes{0x01})));
    EXPECT_TRUE(decodeSwitch(span(Bytes{0xFF})));
    EXPECT_FALSE(decodeSwitch(span(Bytes{0x00, 0x01})));
    expectShort([] { decodeSwitch(ByteSpan()); });

    EXPECT_EQ(encodeU8(7), Bytes{0x07});
    EXPECT_EQ(decodeU8(span(Bytes{0xFE})), 0xFE);
    expectShort([] { decodeU8(ByteSpan()); });

    const Bytes u32{0x80, 0x00, 0x01, 0x02};
    EXPECT_EQ(encodeU32(0x80000102u), u32);
    EXPECT_EQ(decodeU32(span(u32)), 0x80000102u);
    expectEveryPrefixShort(u32, 4, [](ByteSpan p) { decodeU32(p); });

    ViewSizeMsg v{1920, 0x01000000};
    const Bytes vs{0x00, 0x00, 0x07, 0x80, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(v.encode(), vs);
    ViewSizeMsg dv = ViewSizeMsg::decode(span(vs));
    EXPECT_EQ(dv.width, 1920u);
    EXPECT_EQ(dv.height, 0x01000000u);
    expectEveryPrefixShort(vs, 8, [](ByteSpan p) { ViewSizeMsg::decode(p); });
}

TEST(MsgQuality, LevelsAboveTwoMeanTwo) {
    struct Row { uint8_t byte; int level; };
    const Row rows[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {7, 2}, {255, 2}};
    for (const Row& r : rows) EXPECT_EQ(decodeQuality(span(Bytes{r.byte})), r.level) << int(r.byte);
    expectShort([] { decodeQuality(ByteSpan()); });
    EXPECT_EQ(encodeQuality(1), Bytes{0x01});
    EXPECT_EQ(encodeQuality(5), Bytes{0x02});
    EXPECT_EQ(encodeQuality(-1), Bytes{0x00});
}

TEST(MsgPingPong, ClockTravelsBigEndian) {
    const Bytes want{0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(encodePing(0x010203040506ull), want);
    EXPECT_EQ(decodePong(span(want)), 0x010203040506ull);
    expectEveryPrefixShort(want, 8, [](ByteSpan p) { decodePong(p); });
}

TEST(MsgVideoFrame, PrefixAndAccessUnit) {
    const Bytes au{0x00, 0x00, 0x00, 0x02, 0x65, 0x88};
    Bytes p = encodeVideoFrame(0x01020304, true, span(au));
    const Bytes want{0x01, 0x02, 0x03, 0x04, 0x01, 0x00, 0x00, 0x00, 0x02, 0x65, 0x88};
    EXPECT_EQ(p, want);
    VideoFrameMsg m = VideoFrameMsg::decode(span(p));
    EXPECT_EQ(m.frameNumber, 0x01020304u);
    EXPECT_TRUE(m.keyFrame);
    EXPECT_EQ(Bytes(m.accessUnit.begin(), m.accessUnit.end()), au);
    EXPECT_EQ(m.accessUnit.data(), p.data() + 5);

    Bytes bare = encodeVideoFrame(9, false, ByteSpan());
    EXPECT_EQ(bare, (Bytes{0x00, 0x00, 0x00, 0x09, 0x00}));
    m = VideoFrameMsg::decode(span(bare));
    EXPECT_FALSE(m.keyFrame);
    EXPECT_TRUE(m.accessUnit.empty());
    expectEveryPrefixShort(want, 5, [](ByteSpan q) { VideoFrameMsg::decode(q); });
}

TEST(MsgTextPayloads, HostKeepsItsByteLimits) {
    struct Row { MsgType type; size_t limit; };
    const Row rows[] = {
        {MsgType::TypeText, 4096}, {MsgType::LockLogin, 256},       {MsgType::Chat, 8000},
        {MsgType::ListFolder, 4096}, {MsgType::SetDownloadFolder, 4096},
        {MsgType::LaunchProgram, 2048},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.type));
        EXPECT_EQ(textLimit(r.type), r.limit);
        std::string exact(r.limit, 'a');
        EXPECT_EQ(decodeText(r.type, span(encodeText(exact))), exact);
        std::string over = exact + "bc";
        EXPECT_EQ(decodeText(r.type, span(encodeText(over))), exact);
        EXPECT_EQ(decodeText(r.type, ByteSpan()), "");
    }
    // A notice is kept whole.
    std::string longNotice(20000, 'n');
    EXPECT_EQ(decodeText(MsgType::Notice, span(encodeText(longNotice))), longNotice);
}

TEST(MsgTextPayloads, CutOnBytesEvenInsideACharacter) {
    // 5000 bytes where the 4096th byte begins a three-byte character.
    std::string text(4095, 'x');
    while (text.size() < 5000) text += "가";
    std::string kept = decodeText(MsgType::TypeText, span(encodeText(text)));
    ASSERT_EQ(kept.size(), 4096u);
    EXPECT_EQ(kept.substr(0, 4095), std::string(4095, 'x'));
    EXPECT_EQ(static_cast<unsigned char>(kept[4095]), 0xEA);
    // Text bytes travel unchanged, zero bytes included.
    std::string raw("a\0b\xff", 4);
    EXPECT_EQ(encodeText(raw), (Bytes{'a', 0x00, 'b', 0xFF}));
    EXPECT_EQ(decodeText(MsgType::Chat, span(encodeText(raw))), raw);
}

std::string asText(const Bytes& b) { return std::string(b.begin(), b.end()); }

Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

TEST(MsgJson, DecodeTakesTheWholePayload) {
    Json j;
    EXPECT_TRUE(decodeJson(span(encodeText("{\"a\":1}")), j));
    EXPECT_EQ(j.get("a").asNumber(), 1.0);
    EXPECT_FALSE(decodeJson(ByteSpan(), j));
    EXPECT_FALSE(decodeJson(span(encodeText("{\"a\":1}x")), j));
    EXPECT_FALSE(decodeJson(span(encodeText("{\"a\":")), j));
    EXPECT_EQ(asText(encodeJson(parsed("{ \"b\" : [1, true] }"))), "{\"b\":[1,true]}");
}

TEST(MsgSessionRequest, DefaultsForAnEmptyOrWrongRequest) {
    for (const char* text : {"{}", "[]", "null", "\"x\"",
                             "{\"display\":\"1\",\"quality\":true,\"audio\":1,\"viewW\":\"9\","
                             "\"os\":1,\"keymap\":\"yes\",\"purpose\":[],\"fps\":null,\"retina\":0}"}) {
        SCOPED_TRACE(text);
        SessionRequest r = SessionRequest::fromJson(parsed(text));
        EXPECT_EQ(r.display, 0);
        EXPECT_EQ(r.quality, 0);
        EXPECT_FALSE(r.audio);
        EXPECT_EQ(r.viewW, 0);
        EXPECT_EQ(r.viewH, 0);
        EXPECT_EQ(r.os, "");
        EXPECT_FALSE(r.keymap);
        EXPECT_EQ(r.purpose, "");
        EXPECT_EQ(r.fps, 60);
        EXPECT_TRUE(r.retina);
        EXPECT_TRUE(r.codecs.empty());
        EXPECT_FALSE(r.macKeymap());
        EXPECT_FALSE(r.wakeOnly());
    }
}

TEST(MsgSessionRequest, NumbersTruncatedAndClamped) {
    struct Row { const char* key; double value; int want; };
    const Row rows[] = {
        {"quality", -3, 0}, {"quality", 9, 2}, {"quality", 1.9, 1}, {"quality", 2, 2},
        {"fps", 1, 5}, {"fps", 4.99, 5}, {"fps", 30.7, 30}, {"fps", 61, 60}, {"fps", 1e300, 60},
        {"fps", -1e300, 5},
        {"display", 7, 7}, {"display", -1, 0}, {"display", 1.5, 1}, {"display", 1e12, 2147483647},
        {"viewW", 1280.9, 1280}, {"viewW", -5, 0}, {"viewH", 720, 720}, {"viewH", 5e9, 2147483647},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.key) + " " + std::to_string(r.value));
        Json j;
        j.set(r.key, Json(r.value));
        SessionRequest s = SessionRequest::fromJson(j);
        int got = std::string(r.key) == "quality" ? s.quality
                : std::string(r.key) == "fps"     ? s.fps
                : std::string(r.key) == "display" ? s.display
                : std::string(r.key) == "viewW"   ? s.viewW
                                                  : s.viewH;
        EXPECT_EQ(got, r.want);
    }
}

TEST(MsgSessionRequest, NonFiniteNumbersTakeTheDefaults) {
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
        Json j;
        j.set("fps", Json(bad));
        j.set("quality", Json(bad));
        j.set("display", Json(bad));
        j.set("viewW", Json(bad));
        SessionRequest s = SessionRequest::fromJson(j);
        EXPECT_EQ(s.fps, 60);
        EXPECT_EQ(s.quality, 0);
        EXPECT_EQ(s.display, 0);
        EXPECT_EQ(s.viewW, 0);
    }
}

TEST(MsgSessionRequest, MacKeymapNeedsExactlyMac) {
    struct Row { const char* text; bool mac; };
    const Row rows[] = {
        {"{\"os\":\"mac\",\"keymap\":true}", true},
        {"{\"os\":\"mac\",\"keymap\":false}", false},
        {"{\"os\":\"mac\"}", false},
        {"{\"os\":\"windows\",\"keymap\":true}", false},
        {"{\"os\":\"Mac\",\"keymap\":true}", false},
        {"{\"os\":\"mac \",\"keymap\":true}", false},
        {"{\"os\":\"macos\",\"keymap\":true}", false},
    };
    for (const Row& r : rows) EXPECT_EQ(SessionRequest::fromJson(parsed(r.text)).macKeymap(), r.mac) << r.text;
    EXPECT_TRUE(SessionRequest::fromJson(parsed("{\"purpose\":\"wake\"}")).wakeOnly());
    EXPECT_FALSE(SessionRequest::fromJson(parsed("{\"purpose\":\"Wake\"}")).wakeOnly());
}

TEST(MsgSessionRequest, EncodesInTheViewersOrderAndRoundTrips) {
    SessionRequest r;
    r.retina = false;
    r.fps = 60;
    r.display = 1;
    r.viewW = 1280;
    r.viewH = 800;
    r.os = "windows";
    r.codecs = {"hevc", "h264"};
    r.keymap = false;
    r.quality = 2;
    r.audio = true;
    EXPECT_EQ(asText(r.encode()),
              "{\"retina\":false,\"fps\":60,\"display\":1,\"viewW\":1280,\"viewH\":800,"
              "\"os\":\"windows\",\"codecs\":[\"hevc\",\"h264\"],\"keymap\":false,\"quality\":2,"
              "\"audio\":true}");
    Json j;
    ASSERT_TRUE(decodeJson(span(r.encode()), j));
    SessionRequest d = SessionRequest::fromJson(j);
    EXPECT_FALSE(d.retina);
    EXPECT_EQ(d.display, 1);
    EXPECT_EQ(d.viewW, 1280);
    EXPECT_EQ(d.viewH, 800);
    EXPECT_EQ(d.os, "windows");
    EXPECT_EQ(d.codecs, (std::vector<std::string>{"hevc", "h264"}));
    EXPECT_EQ(d.quality, 2);
    EXPECT_TRUE(d.audio);

    r.purpose = "wake";
    std::string t = asText(r.encode());
    EXPECT_TRUE(t.ends_with(",\"audio\":true,\"purpose\":\"wake\"}")) << t;
}

TEST(MsgSessionRequest, DisplayIndexAimsAtAnExistingDisplay) {
    EXPECT_EQ(clampDisplayIndex(7, 2), 1);
    EXPECT_EQ(clampDisplayIndex(-1, 2), 0);
    EXPECT_EQ(clampDisplayIndex(1, 2), 1);
    EXPECT_EQ(clampDisplayIndex(0, 1), 0);
    EXPECT_EQ(clampDisplayIndex(3, 0), 0);
}

TEST(MsgDisplayInfo, ExactTextAndRoundTrip) {
    DisplayInfo d;
    d.name = "서재 PC";
    d.displays.push_back({0, 1280, 720, 2560, 1440, true});
    d.displays.push_back({1, 1920, 1080, 1920, 1080, false});
    d.current = 1;
    d.width = 1920;
    d.height = 1080;
    d.features = hostFeatures(false);
    d.wake = parsed("[{\"mac\":\"aa:bb\"}]");
    std::string want =
        "{\"name\":\"서재 PC\",\"displays\":["
        "{\"index\":0,\"widthPt\":1280,\"heightPt\":720,\"widthPx\":2560,\"heightPx\":1440,\"main\":true},"
        "{\"index\":1,\"widthPt\":1920,\"heightPt\":1080,\"widthPx\":1920,\"heightPx\":1080,\"main\":false}],"
        "\"current\":1,\"width\":1920,\"height\":1080,\"os\":\"windows\",\"features\":"
        "[\"files\",\"combo\",\"text\",\"apps\",\"focus\",\"audio\",\"quality\",\"curtain\","
        "\"power\",\"wake\",\"chat\",\"browse\"],\"wake\":[{\"mac\":\"aa:bb\"}]}";
    EXPECT_EQ(asText(d.encode()), want);

    // A streamed window adds its entry at the end; "unlock" follows the other features.
    d.window = parsed("{\"id\":66,\"title\":\"메모장\"}");
    d.features = hostFeatures(true);
    d.wake = Json();
    std::string t = asText(d.encode());
    EXPECT_NE(t.find("\"browse\",\"unlock\"],\"wake\":[],\"window\":{\"id\":66,"), std::string::npos) << t;

    Json j;
    ASSERT_TRUE(decodeJson(span(d.encode()), j));
    DisplayInfo back = DisplayInfo::fromJson(j);
    EXPECT_EQ(back.name, d.name);
    ASSERT_EQ(back.displays.size(), 2u);
    EXPECT_EQ(back.displays[0].widthPt, 1280);
    EXPECT_EQ(back.displays[0].heightPx, 1440);
    EXPECT_TRUE(back.displays[0].main);
    EXPECT_EQ(back.displays[1].index, 1);
    EXPECT_FALSE(back.displays[1].main);
    EXPECT_EQ(back.current, 1);
    EXPECT_EQ(back.width, 1920);
    EXPECT_EQ(back.height, 1080);
    EXPECT_EQ(back.os, "windows");
    EXPECT_EQ(back.features, hostFeatures(true));
    EXPECT_TRUE(back.wake.isArray());
    EXPECT_EQ(back.window.get("id").asNumber(), 66.0);
}

TEST(MsgDisplayInfo, LenientRead) {
    DisplayInfo d = DisplayInfo::fromJson(parsed(
        "{\"displays\":[{\"widthPt\":-4,\"heightPt\":\"x\",\"widthPx\":1e20,\"main\":1}, 5],"
        "\"current\":2.7,\"width\":null,\"os\":\"mac\",\"features\":[\"files\",3,\"chat\"],"
        "\"wake\":{},\"window\":[]}"));
    ASSERT_EQ(d.displays.size(), 2u);
    EXPECT_EQ(d.displays[0].widthPt, 0);
    EXPECT_EQ(d.displays[0].heightPt, 0);
    EXPECT_EQ(d.displays[0].widthPx, 2147483647);
    EXPECT_FALSE(d.displays[0].main);
    EXPECT_EQ(d.displays[1].widthPt, 0);
    EXPECT_EQ(d.current, 2);
    EXPECT_EQ(d.width, 0);
    EXPECT_EQ(d.os, "mac");
    EXPECT_EQ(d.features, (std::vector<std::string>{"files", "chat"}));
    EXPECT_TRUE(d.wake.isArray());
    EXPECT_EQ(d.wake.size(), 0u);
    EXPECT_TRUE(d.window.isNull());
}

TEST(MsgStatus, ExactTextsAndDecode) {
    EXPECT_EQ(asText(encodeStatus(true, false)), "{\"locked\":true,\"curtain\":false}");
    EXPECT_EQ(asText(encodeStatus(false, true)), "{\"locked\":false,\"curtain\":true}");
    StatusMsg s;
    ASSERT_TRUE(StatusMsg::decode(span(encodeStatus(true, false)), s));
    EXPECT_EQ(s.locked, std::optional<bool>(true));
    EXPECT_EQ(s.curtain, std::optional<bool>(false));
    ASSERT_TRUE(StatusMsg::decode(span(encodeText("{\"curtain\":1}")), s));
    EXPECT_FALSE(s.locked.has_value());
    EXPECT_EQ(s.curtain, std::optional<bool>(false));
    EXPECT_FALSE(StatusMsg::decode(span(encodeText("{\"locked\":tru}")), s));
    EXPECT_FALSE(s.locked.has_value());
}

TEST(MsgCaret, ThreeFormsExactly) {
    CaretMsg c;
    EXPECT_EQ(c.text(), "{\"edit\":false}");
    c.edit = true;
    EXPECT_EQ(c.text(), "{\"edit\":true}");
    c.hasRect = true;
    c.x = 0.25;
    c.y = 1.0 / 3;
    c.w = 0.00004;
    c.h = 12.34567;
    EXPECT_EQ(c.text(), "{\"edit\":true,\"x\":0.2500,\"y\":0.3333,\"w\":0.0000,\"h\":12.3457}");
    EXPECT_EQ(asText(c.encode()), c.text());
    c.x = -0.5;
    EXPECT_TRUE(c.text().starts_with("{\"edit\":true,\"x\":-0.5000,\"y\"")) << c.text();

    CaretMsg d;
    ASSERT_TRUE(CaretMsg::decode(span(c.encode()), d));
    EXPECT_TRUE(d.edit);
    EXPECT_TRUE(d.hasRect);
    EXPECT_DOUBLE_EQ(d.x, -0.5);
    EXPECT_DOUBLE_EQ(d.y, 0.3333);
    EXPECT_DOUBLE_EQ(d.h, 12.3457);
    ASSERT_TRUE(CaretMsg::decode(span(encodeText("{\"edit\":true}")), d));
    EXPECT_TRUE(d.edit);
    EXPECT_FALSE(d.hasRect);
    EXPECT_FALSE(CaretMsg::decode(span(encodeText("{\"edit\":")), d));
}

TEST(MsgCaret, NonFiniteRectangleIsLeftOut) {
    // "%.4f" of NaN would give a text no Json reader takes.
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
        CaretMsg c;
        c.edit = true;
        c.hasRect = true;
        c.x = 0.1;
        c.y = 0.2;
        c.w = bad;
        c.h = 0.4;
        EXPECT_EQ(c.text(), "{\"edit\":true}");
        CaretMsg d;
        EXPECT_TRUE(CaretMsg::decode(span(c.encode()), d));
    }
}

TEST(MsgWakeRequest, TargetsTravelUnchanged) {
    Json targets = parsed("[{\"mac\":\"00:11:22:33:44:55\",\"bcast\":\"192.168.0.255\"}]");
    Bytes p = encodeWakeRequest(targets);
    EXPECT_EQ(asText(p), "{\"targets\":[{\"mac\":\"00:11:22:33:44:55\",\"bcast\":\"192.168.0.255\"}]}");
    Json back;
    ASSERT_TRUE(decodeWakeRequest(span(p), back));
    EXPECT_EQ(back.dump(), targets.dump());
    ASSERT_TRUE(decodeWakeRequest(span(encodeText("{}")), back));
    EXPECT_TRUE(back.isNull());
    EXPECT_FALSE(decodeWakeRequest(span(encodeText("{\"targets\":[")), back));
    EXPECT_TRUE(back.isNull());
}

TEST(MsgSendFiles, PathsTravelAsTexts) {
    Bytes p = encodeSendFiles({"C:\\Users\\a\\문서.txt", "D:/x"});
    EXPECT_EQ(asText(p), "{\"paths\":[\"C:\\\\Users\\\\a\\\\문서.txt\",\"D:/x\"]}");
    Json paths;
    ASSERT_TRUE(decodeSendFiles(span(p), paths));
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths.at(0).asString(), "C:\\Users\\a\\문서.txt");
    EXPECT_EQ(asText(encodeSendFiles({})), "{\"paths\":[]}");
    EXPECT_FALSE(decodeSendFiles(span(encodeText("paths")), paths));
    EXPECT_TRUE(paths.isNull());
}

TEST(MsgFolderListing, RefusalText) {
    EXPECT_EQ(asText(encodeFolderListingRefusal("C:\\\"q\"")),
              "{\"path\":\"C:\\\\\\\"q\\\"\",\"entries\":[],"
              "\"error\":\"원격 PC 에서 파일 주고받기가 꺼져 있습니다\"}");
}

// ---- Payload limits ----

TEST(PayloadLimits, EveryTypeHasOneRowNamingTheEndsThatReceiveIt) {
    for (const PayloadCase& c : everyMessageType()) {
        const PayloadLimit* row = payloadLimitOf(uint8_t(c.type));
        ASSERT_TRUE(row) << int(c.type);
        EXPECT_EQ(row->type, c.type);
        EXPECT_EQ(row->receiver, c.receiver) << int(c.type);
        EXPECT_EQ(row->keepsPrefix, c.prefix) << int(c.type);
        EXPECT_EQ(maxPayload(c.type), row->maxBytes);
    }
    EXPECT_EQ(payloadLimits().size(), everyMessageType().size());
    EXPECT_EQ(payloadLimitOf(0), nullptr);
    EXPECT_EQ(payloadLimitOf(200), nullptr);
}

TEST(PayloadLimits, TheGateDropsWhatIsOverItsLimitAndLogsEachRunOfDropsOnce) {
    LogCapture log;
    const std::string dropped = "너무 큰 메시지를 버림";
    PayloadGate host(MsgEnd::Host);
    const size_t wake = maxPayload(MsgType::WakeRequest);
    EXPECT_TRUE(host.admit(uint8_t(MsgType::WakeRequest), wake));
    EXPECT_FALSE(host.admit(uint8_t(MsgType::WakeRequest), wake + 1));
    EXPECT_FALSE(host.admit(uint8_t(MsgType::Mouse), size_t(1) << 20));
    EXPECT_FALSE(host.admit(uint8_t(MsgType::WakeRequest), size_t(40) << 20));
    EXPECT_EQ(log.count(dropped), 1);
    EXPECT_TRUE(log.has(dropped + " (종류 87, " + std::to_string(wake + 1) + "바이트)"));
    EXPECT_TRUE(host.admit(uint8_t(MsgType::Ping), 8));  // taken: the run of drops has ended
    EXPECT_FALSE(host.admit(uint8_t(MsgType::Mouse), size_t(1) << 20));
    EXPECT_EQ(log.count(dropped), 2);
    // A text the host cuts to its prefix, a type only the viewer takes and a byte that names no
    // type are not this gate's to drop.
    EXPECT_TRUE(host.admit(uint8_t(MsgType::TypeText), size_t(40) << 20));
    EXPECT_TRUE(host.admit(uint8_t(MsgType::Notice), size_t(40) << 20));
    EXPECT_TRUE(host.admit(200, size_t(40) << 20));
    PayloadGate viewer(MsgEnd::Viewer);
    EXPECT_FALSE(viewer.admit(uint8_t(MsgType::Notice), size_t(40) << 20));
    EXPECT_TRUE(viewer.admit(uint8_t(MsgType::Chat), size_t(40) << 20));
    EXPECT_EQ(log.count(dropped), 3);
}

// The largest folder listing a host writes: 3000 entries whose names are 255 UTF-16 units that each
// need a six-byte escape, with the largest size and time, under the longest path a request names.
TEST(PayloadLimits, TheLargestFolderListingFitsItsLimitAndValueBudget) {
    ListingEntry entry;
    entry.name = std::wstring(255, L'\x01');
    entry.size = UINT64_MAX;
    entry.mtime = listingTime(INT64_MIN);
    Json entries;
    entries.tag = Json::kArray;
    for (size_t i = 0; i < kMaxListingEntries; ++i) entries.push(listingEntryJson(entry));
    Json listing;
    listing.set("path", std::string(kFolderPathLimit, '\x01'));
    listing.set("parent", std::string(kFolderPathLimit, '\x01'));
    listing.set("entries", std::move(entries));
    const std::string text = listing.dump();
    EXPECT_LE(text.size(), maxPayload(MsgType::FolderListing));
    Json parsed;
    ASSERT_TRUE(decodeJson(asBytes(text), parsed));
    EXPECT_EQ(parsed.get("entries").size(), kMaxListingEntries);
}

// What a parsed tree holds: its values, the bytes of their nodes and vectors, and the bytes of
// their texts and keys (libstdc++ keeps up to 15 bytes inside the string itself).
struct Held {
    size_t values = 0;
    size_t structure = 0;
    size_t text = 0;
};

size_t textBytes(const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; }

void measure(const Json& j, Held& held) {
    ++held.values;
    held.text += textBytes(j.text);
    held.structure += j.items.capacity() * sizeof(Json) + j.members.capacity() * sizeof(j.members[0]);
    for (const Json& item : j.items) measure(item, held);
    for (const auto& member : j.members) {
        held.text += textBytes(member.first);
        measure(member.second, held);
    }
}

TEST(PayloadLimits, WorstJsonShapesAtTheLimitHoldFewValues) {
    // What a few MiB of values allow: a node each, twice over for the vectors' spare room.
    const size_t structureFigure = size_t(8) << 20;
    std::map<std::pair<int, size_t>, std::string> shapes;  // types that share a limit share the texts
    for (const PayloadCase& c : everyMessageType()) {
        if (!c.json) continue;
        const size_t limit = maxPayload(c.type);
        for (int shape = 0; shape < kJsonShapes; ++shape) {
            SCOPED_TRACE("type " + std::to_string(int(c.type)) + ", shape " + std::to_string(shape));
            std::string& text = shapes[{shape, limit}];
            if (text.empty()) text = worstShape(shape, limit);
            ASSERT_EQ(text.size(), limit);
            Json parsed;
            decodeJson(asBytes(text), parsed);  // taken or not: what it built is what it held
            Held held;
            measure(parsed, held);
            EXPECT_LE(held.values, Json::kMaxValues);
            EXPECT_LE(held.structure, structureFigure);
            EXPECT_LE(held.text, limit);
        }
    }
}

}  // namespace
