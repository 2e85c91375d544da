// The clipboard monitor on the real clipboard of the test prefix, in-process.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/util.h"
#include "host/clipboard.h"
#include "media/png.h"
#include "support/png_fixture.h"
#include "support/pump_win.h"

namespace {

// A second clipboard window, standing for another program: it counts clipboard updates, writes
// "foreign" content and renders delayed formats on request.
struct Probe {
    HWND hwnd = nullptr;
    int updates = 0;
    int renderRequests = 0;
};
Probe gProbe;

LRESULT CALLBACK probeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CLIPBOARDUPDATE:
            ++gProbe.updates;
            return 0;
        case WM_RENDERFORMAT: {
            ++gProbe.renderRequests;
            HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, 4);
            std::memcpy(GlobalLock(m), L"x", 4);
            GlobalUnlock(m);
            if (!SetClipboardData(UINT(wp), m)) GlobalFree(m);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// Waits for the next clipboard change to be seen by everybody on this thread.
bool settle(int updatesBefore) {
    bool seen = pumpUntil([&] { return gProbe.updates > updatesBefore; });
    pumpMessages();
    return seen;
}

struct Format {
    UINT id;
    Bytes data;  // empty: delayed rendering
};

void writeForeign(const std::vector<Format>& formats) {
    int before = gProbe.updates;
    ASSERT_TRUE(OpenClipboard(gProbe.hwnd));
    EmptyClipboard();
    for (const Format& f : formats) {
        if (f.data.empty()) {
            SetClipboardData(f.id, nullptr);
            continue;
        }
        HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, f.data.size());
        std::memcpy(GlobalLock(m), f.data.data(), f.data.size());
        GlobalUnlock(m);
        ASSERT_NE(SetClipboardData(f.id, m), nullptr);
    }
    ASSERT_TRUE(CloseClipboard());
    ASSERT_TRUE(settle(before));
}

Bytes wideBytes(const std::wstring& text) {
    auto p = reinterpret_cast<const uint8_t*>(text.c_str());
    return Bytes(p, p + (text.size() + 1) * sizeof(wchar_t));
}

Bytes dword(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes payloadOf(uint8_t kind, ByteSpan body) { return concatBytes({ByteSpan(&kind, 1), body}); }

// The formats on the clipboard now, and the bytes of one of them.
std::vector<UINT> formatsNow() {
    std::vector<UINT> out;
    if (!OpenClipboard(nullptr)) return out;
    for (UINT f = EnumClipboardFormats(0); f; f = EnumClipboardFormats(f)) out.push_back(f);
    CloseClipboard();
    return out;
}
Bytes formatBytes(UINT format) {
    Bytes out;
    if (!OpenClipboard(nullptr)) return out;
    if (HANDLE h = GetClipboardData(format)) {
        auto* p = static_cast<const uint8_t*>(GlobalLock(h));
        if (p) out.assign(p, p + GlobalSize(h));
        GlobalUnlock(h);
    }
    CloseClipboard();
    return out;
}
std::wstring clipboardText() {
    Bytes b = formatBytes(CF_UNICODETEXT);
    std::wstring out(reinterpret_cast<const wchar_t*>(b.data()), b.size() / sizeof(wchar_t));
    return out.substr(0, out.find(L'\0'));
}

UINT pngFormat() { return RegisterClipboardFormatW(L"PNG"); }

Bytes smallPng(const Bytes& bgra, int width, int height) {
    Bytes png;
    encodePng(png, bgra.data(), width, height, width * 4);
    return png;
}

class ClipboardWin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Pictures go through the imaging component on the window's thread, which has COM in the
        // program (its UI thread) whichever test made the window first.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(ClipboardSync::instance().start());
        if (!gProbe.hwnd) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = probeProc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"TavrelClipboardProbe";
            RegisterClassW(&wc);
            gProbe.hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          wc.hInstance, nullptr);
            ASSERT_NE(gProbe.hwnd, nullptr);
            ASSERT_TRUE(AddClipboardFormatListener(gProbe.hwnd));
        }
    }

    void SetUp() override { pumpMessages(); }
    void TearDown() override {
        if (listenerId) ClipboardSync::instance().removeListener(listenerId);
        pumpMessages();
    }

    void listen() {
        listenerId = ClipboardSync::instance().addListener([this](const Bytes& p) { received.push_back(p); });
    }

    // Applies a peer's payload and waits until it was written.
    void applyAndSettle(const Bytes& payload) {
        int before = gProbe.updates;
        ClipboardSync::instance().applyRemote(payload);
        ASSERT_TRUE(settle(before));
    }

    int listenerId = 0;
    std::vector<Bytes> received;
};

}  // namespace

TEST_F(ClipboardWin, StartTwiceKeepsTheWindow) {
    EXPECT_TRUE(ClipboardSync::instance().start());
    EXPECT_NE(FindWindowExW(HWND_MESSAGE, nullptr, L"TavrelClipboard", nullptr), nullptr);
}

TEST_F(ClipboardWin, PeerTextLandsWithoutReachingListeners) {
    listen();
    applyAndSettle(payloadOf(kClipboardText, asBytes(std::string("안녕 hello"))));
    EXPECT_EQ(clipboardText(), L"안녕 hello");
    EXPECT_TRUE(received.empty());
}

TEST_F(ClipboardWin, PeerImagePlacesThePngAndABitmap) {
    listen();
    Bytes pixels = {10, 20, 30, 255, 40, 50, 60, 128, 70, 80, 90, 0, 1, 2, 3, 255};  // 2 x 2, top-down
    Bytes png = smallPng(pixels, 2, 2);
    ASSERT_FALSE(png.empty());
    applyAndSettle(payloadOf(kClipboardImage, png));
    Bytes placed = formatBytes(pngFormat());
    ASSERT_GE(placed.size(), png.size());
    EXPECT_EQ(Bytes(placed.begin(), placed.begin() + long(png.size())), png);
    Bytes dib = formatBytes(CF_DIB);
    BgraImage image;
    ASSERT_TRUE(dibToBgra(dib, image));
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.pixels, pixels);
    EXPECT_GT(int32_t(dib[8] | dib[9] << 8 | dib[10] << 16 | dib[11] << 24), 0) << "rows bottom-up";
    EXPECT_TRUE(received.empty());
}

TEST_F(ClipboardWin, UndecodableOrHugePictureIsPlacedOnlyAsPng) {
    Bytes huge = pngfixture::declaringPng(65535, 65535);
    // Whole pictures of other kinds too: the message carries PNG, and other decoders would work
    // on a peer's bytes before any limit.
    for (const Bytes& body : {Bytes{'n', 'o', 't', ' ', 'p', 'n', 'g'}, huge, pngfixture::bmp(2, 2), pngfixture::gif(1, 1),
                              pngfixture::jpeg(8, 8), pngfixture::icoWrapping(pngfixture::declaringPng(65535, 65535))}) {
        applyAndSettle(payloadOf(kClipboardImage, body));
        EXPECT_EQ(formatsNow(), std::vector<UINT>{pngFormat()});
        Bytes placed = formatBytes(pngFormat());
        ASSERT_GE(placed.size(), body.size());
        EXPECT_EQ(Bytes(placed.begin(), placed.begin() + long(body.size())), body);
    }
}

// A peer's picture up to what a large screen holds is placed as a bitmap too; a larger one only as
// its PNG, however small the file.
TEST_F(ClipboardWin, PeerPictureIsDecodedUpToALargeScreen) {
    struct Case {
        uint32_t width, height;
        bool bitmap;
    } cases[] = {{4096, 4096, true}, {4097, 4096, false}, {2, 1, true}};
    for (const Case& c : cases) {
        Bytes png = pngfixture::zeroPng(c.width, c.height);
        int before = gProbe.updates;
        ClipboardSync::instance().applyRemote(payloadOf(kClipboardImage, png));
        ASSERT_TRUE(pumpUntil([&] { return gProbe.updates > before; }, 30000)) << c.width;
        pumpMessages();
        std::vector<UINT> formats = formatsNow();
        EXPECT_EQ(std::count(formats.begin(), formats.end(), pngFormat()), 1) << c.width;
        if (!c.bitmap) {
            EXPECT_EQ(formats, std::vector<UINT>{pngFormat()}) << c.width;
            continue;
        }
        Bytes dib = formatBytes(CF_DIB);
        ASSERT_GE(dib.size(), 40 + size_t(c.width) * c.height * 4) << c.width;
        auto le32 = [&](size_t at) { return uint32_t(dib[at] | dib[at + 1] << 8 | dib[at + 2] << 16 | dib[at + 3] << 24); };
        EXPECT_EQ(le32(4), c.width);
        EXPECT_EQ(le32(8), c.height) << "rows bottom-up";
        EXPECT_EQ(std::count(dib.begin() + 40, dib.begin() + 40 + long(c.width * c.height * 4), 0),
                  long(c.width * c.height * 4));
    }
}

TEST_F(ClipboardWin, UnknownKindEmptiesTheClipboard) {
    applyAndSettle(payloadOf(kClipboardText, asBytes(std::string("old"))));
    ASSERT_EQ(clipboardText(), L"old");
    applyAndSettle(Bytes{3, 'x'});
    EXPECT_TRUE(formatsNow().empty());
}

TEST_F(ClipboardWin, ForeignTextReachesListenersOnce) {
    listen();
    writeForeign({{CF_UNICODETEXT, wideBytes(L"복사한 글")}});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], payloadOf(kClipboardText, asBytes(std::string("복사한 글"))));
    pumpMessages();
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(ClipboardWin, CopyInAnEditBoxReachesListenersOnceAsText) {
    static HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 200, 30, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(edit, nullptr);
    SetWindowTextW(edit, L"편집 상자에서 복사");
    SendMessageW(edit, EM_SETSEL, 0, -1);
    listen();
    int before = gProbe.updates;
    SendMessageW(edit, WM_COPY, 0, 0);
    ASSERT_TRUE(settle(before));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], payloadOf(kClipboardText, asBytes(std::string("편집 상자에서 복사"))));
}

TEST_F(ClipboardWin, WithoutListenersTheClipboardIsNotRead) {
    // The content is rendered only when somebody asks for it, so any read shows.
    writeForeign({{CF_UNICODETEXT, {}}});
    EXPECT_EQ(gProbe.renderRequests, 0);
    listen();
    int before = gProbe.renderRequests;
    writeForeign({{CF_UNICODETEXT, {}}});
    EXPECT_EQ(gProbe.renderRequests, before + 1);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(ClipboardWin, PrivacyMarkersDecide) {
    listen();
    UINT history = RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
    UINT exclude = RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
    struct Case {
        const char* what;
        std::vector<Format> extra;
        bool sent;
    } cases[] = {
        {"history 0", {{history, dword(0)}}, false},
        {"history 1", {{history, dword(1)}}, true},
        {"excluded", {{exclude, Bytes{0}}}, false},
        {"no marker", {}, true},
    };
    for (const Case& c : cases) {
        received.clear();
        std::vector<Format> formats = {{CF_UNICODETEXT, wideBytes(L"secret")}};
        formats.insert(formats.end(), c.extra.begin(), c.extra.end());
        writeForeign(formats);
        EXPECT_EQ(received.size(), c.sent ? 1u : 0u) << c.what;
    }
}

TEST_F(ClipboardWin, TextAndImageTogetherSendTheText) {
    listen();
    Bytes dib = bgraToDib(BgraImage{1, 1, {1, 2, 3, 255}});
    writeForeign({{CF_DIB, dib}, {CF_UNICODETEXT, wideBytes(L"both")}});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], payloadOf(kClipboardText, asBytes(std::string("both"))));
}

TEST_F(ClipboardWin, Bitmap24ArrivesAsOpaqueTopDownPng) {
    listen();
    // 2 x 2 at 24 bits, bottom-up, rows padded from 6 to 8 bytes.
    Bytes dib(40, 0);
    dib[0] = 40;
    dib[4] = 2;
    dib[8] = 2;
    dib[12] = 1;
    dib[14] = 24;
    Bytes rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};  // bottom row first
    dib.insert(dib.end(), rows.begin(), rows.end());
    writeForeign({{CF_DIB, dib}});
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(received[0][0], kClipboardImage);
    Bytes pixels;
    int w = 0, h = 0;
    ASSERT_TRUE(decodePng(ByteSpan(received[0]).subspan(1), pixels, w, h, 100));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(pixels, (Bytes{7, 8, 9, 255, 10, 11, 12, 255, 1, 2, 3, 255, 4, 5, 6, 255}));
}

TEST_F(ClipboardWin, FloodOnABusyWindowEndsInOneWrite) {
    int before = gProbe.updates;
    // This thread runs the clipboard window and does not pump while the payloads arrive.
    for (int i = 0; i < 50; ++i)
        ClipboardSync::instance().applyRemote(payloadOf(kClipboardText, asBytes("flood " + std::to_string(i))));
    ASSERT_TRUE(settle(before));
    EXPECT_EQ(gProbe.updates, before + 1);
    EXPECT_EQ(clipboardText(), L"flood 49");
}

TEST_F(ClipboardWin, OversizedPeerPayloadIsDropped) {
    int before = gProbe.updates;
    ClipboardSync::instance().applyRemote(payloadOf(kClipboardText, asBytes(std::string("small"))));
    // Were it kept, these would replace the waiting payload.
    ClipboardSync::instance().applyRemote(payloadOf(kClipboardText, Bytes(kClipboardTextLimit + 1, 'a')));
    ClipboardSync::instance().applyRemote(payloadOf(kClipboardImage, Bytes(kClipboardImageLimit + 1, 'a')));
    ASSERT_TRUE(settle(before));
    EXPECT_EQ(clipboardText(), L"small");
    EXPECT_EQ(gProbe.updates, before + 1);
}
