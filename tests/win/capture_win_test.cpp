#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/capture.h"
#include "support/bgra.h"
#include "support/class_factory_win.h"
#include "support/fake_duplication.h"
#include "support/log_capture.h"
#include "support/paint_window.h"
#include "support/pump_win.h"

namespace {

// Time stands still until a test moves it; the capturer's sleeps move it and are recorded.
struct TestClock {
    int64_t now = 5'000'000'000'000;
    std::vector<int> sleeps;
    ScreenCapturer::Clock clock() {
        return {[this] { return now; },
                [this](int ms) {
                    sleeps.push_back(ms);
                    now += int64_t(ms) * 1'000'000;
                }};
    }
    void advanceMs(int ms) { now += int64_t(ms) * 1'000'000; }
};

MonitorInfo primaryMonitor() {
    const std::vector<MonitorInfo> monitors = listMonitors();
    return monitors.empty() ? MonitorInfo{} : monitors[0];
}

// The capturer's mapped image equals `pixels` (width x height BGRA, packed).
void expectImage(ScreenCapturer& capturer, int width, int height, const std::vector<uint8_t>& pixels) {
    ASSERT_TRUE(capturer.mapFrame());
    ASSERT_EQ(capturer.width(), width);
    ASSERT_EQ(capturer.height(), height);
    ASSERT_EQ(capturer.pitch(), width * 4);
    EXPECT_EQ(std::memcmp(capturer.pixels(), pixels.data(), pixels.size()), 0);
    capturer.unmapFrame();
}

// The mapped image at (x, y), alpha left out (GDI leaves it 0).
Bgra pixelAt(const ScreenCapturer& capturer, int x, int y) {
    Bgra p = bgraAt(capturer.pixels(), capturer.pitch(), x, y);
    p.a = 255;
    return p;
}

bool screenShows(int x, int y, COLORREF colour) {
    HDC screen = GetDC(nullptr);
    const COLORREF seen = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return seen == colour;
}

TEST(ScreenCapturerDuplication, FramesPointerMovesAndNewSizes) {
    FakeDuplication fake(64, 48);
    TestClock clock;
    ScreenCapturer capturer(clock.clock());
    ASSERT_TRUE(capturer.open(primaryMonitor()));
    EXPECT_FALSE(capturer.gdiMode());
    EXPECT_EQ(capturer.width(), 64);
    EXPECT_EQ(capturer.height(), 48);
    EXPECT_FALSE(capturer.mapFrame()) << "nothing captured yet";

    const std::vector<uint8_t> first = patternPixels(64, 48, 1);
    fake.push(DuplicationStep::frame(64, 48, first));
    EXPECT_EQ(capturer.grab(16), 1);
    expectImage(capturer, 64, 48, first);

    fake.push(DuplicationStep::timeout());
    EXPECT_EQ(capturer.grab(16), 0);
    // Only the pointer moved: nothing new, and the last image is still there.
    fake.push(DuplicationStep::pointerOnly());
    EXPECT_EQ(capturer.grab(16), 0);
    expectImage(capturer, 64, 48, first);

    // A new display mode: the image and the capture take the new size.
    const std::vector<uint8_t> wider = patternPixels(80, 40, 2);
    fake.push(DuplicationStep::frame(80, 40, wider));
    EXPECT_EQ(capturer.grab(16), 1);
    expectImage(capturer, 80, 40, wider);
    const std::vector<uint8_t> next = patternPixels(80, 40, 3);
    fake.push(DuplicationStep::frame(80, 40, next));
    EXPECT_EQ(capturer.grab(16), 1);
    expectImage(capturer, 80, 40, next);

    EXPECT_EQ(fake.state().duplications, 1);
    EXPECT_EQ(fake.state().acquired, 4);
    EXPECT_EQ(fake.state().released, 4);
    EXPECT_EQ(fake.state().acquiredWhileHeld, 0);
    EXPECT_TRUE(clock.sleeps.empty());
    capturer.close();
    EXPECT_EQ(fake.state().alive, 0);
}

TEST(ScreenCapturerDuplication, LostAccessReopensAndGivesUpOnlyOnLastingFailures) {
    const struct {
        const char* what;
        HRESULT acquireError;
        HRESULT reopenError;
        int reopenFailures;
        std::vector<int> results;  // of the grabs after the failed acquisition, up to a new frame
    } cases[] = {
        // The secure desktop may stay for long: the capturer keeps waiting for it.
        {"secure desktop", E_ACCESSDENIED, E_ACCESSDENIED, 11, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        // Anything else that lasts is handed to the caller on the tenth failure in a row.
        {"output gone", DXGI_ERROR_ACCESS_LOST, DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, 10,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 1}},
        {"reopens at once", E_FAIL, S_OK, 0, {1}},
    };
    // One capturer goes through every case (a device takes long to make under Wine).
    FakeDuplication fake(32, 32);
    TestClock clock;
    ScreenCapturer capturer(clock.clock());
    ASSERT_TRUE(capturer.open(primaryMonitor()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        clock.sleeps.clear();
        fake.push(DuplicationStep::frame(32, 32, patternPixels(32, 32, 1)));
        ASSERT_EQ(capturer.grab(16), 1);

        fake.push(DuplicationStep::failure(c.acquireError));
        EXPECT_EQ(capturer.grab(16), -1);
        fake.failNext(c.reopenFailures, c.reopenError);
        const std::vector<uint8_t> after = patternPixels(32, 32, 9);
        fake.push(DuplicationStep::frame(32, 32, after));
        std::vector<int> results;
        for (size_t i = 0; i < c.results.size(); ++i) results.push_back(capturer.grab(16));
        EXPECT_EQ(results, c.results);
        expectImage(capturer, 32, 32, after);

        const size_t pauses = size_t(std::count(c.results.begin(), c.results.end(), 0));
        EXPECT_EQ(clock.sleeps, std::vector<int>(pauses, 200));
        EXPECT_EQ(fake.state().acquired, fake.state().released);
        EXPECT_EQ(fake.state().acquiredWhileHeld, 0);
        EXPECT_EQ(fake.state().alive, 1);
        // One line per run of the same failure, not five a second.
        const std::string failed = "화면 복제 실패 hr=" + std::to_string(long(c.reopenError));
        EXPECT_EQ(log.count(failed), c.reopenFailures > 0 ? 1 : 0) << log.text();
    }
}

TEST(ScreenCapturerDuplication, TurnedOrNonBgraOutputsAreCapturedWithGdi) {
    const struct {
        DXGI_MODE_ROTATION rotation;
        DXGI_FORMAT format;
    } cases[] = {
        {DXGI_MODE_ROTATION_ROTATE90, DXGI_FORMAT_B8G8R8A8_UNORM},
        {DXGI_MODE_ROTATION_ROTATE270, DXGI_FORMAT_B8G8R8A8_UNORM},
        {DXGI_MODE_ROTATION_IDENTITY, DXGI_FORMAT_R10G10B10A2_UNORM},
        {DXGI_MODE_ROTATION_IDENTITY, DXGI_FORMAT_R16G16B16A16_FLOAT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "rotation " << c.rotation << " format " << c.format);
        LogCapture log;
        FakeDuplication fake(64, 48);
        fake.state().desc.Rotation = c.rotation;
        fake.state().desc.ModeDesc.Format = c.format;
        TestClock clock;
        ScreenCapturer capturer(clock.clock());
        ASSERT_TRUE(capturer.open(primaryMonitor()));
        EXPECT_TRUE(capturer.gdiMode());
        EXPECT_EQ(capturer.width(), GetSystemMetrics(SM_CXSCREEN));
        EXPECT_EQ(fake.state().alive, 0);
        const std::string text = log.text();
        const size_t refused = text.find("화면 복제 실패 hr=" + std::to_string(long(DXGI_ERROR_UNSUPPORTED)));
        EXPECT_NE(refused, std::string::npos) << text;
        EXPECT_GT(text.find("GDI 로 화면 가져오기"), refused) << text;
        EXPECT_EQ(capturer.grab(16), 1);
    }
}

TEST(ScreenCapturerDuplication, ANonBgraImageIsAFailure) {
    FakeDuplication fake(16, 16);
    TestClock clock;
    ScreenCapturer capturer(clock.clock());
    ASSERT_TRUE(capturer.open(primaryMonitor()));
    fake.push(DuplicationStep::frame(16, 16, std::vector<uint8_t>(16 * 16 * 4, 7), DXGI_FORMAT_R8G8B8A8_UNORM));
    EXPECT_EQ(capturer.grab(16), -1);
    EXPECT_FALSE(capturer.mapFrame());
    EXPECT_EQ(fake.state().acquired, 1);
    EXPECT_EQ(fake.state().released, 1);
    const std::vector<uint8_t> good = patternPixels(16, 16, 4);
    fake.push(DuplicationStep::frame(16, 16, good));
    EXPECT_EQ(capturer.grab(16), 1);
    expectImage(capturer, 16, 16, good);
    EXPECT_EQ(fake.state().duplications, 2);
}

class ScreenCapturerGdi : public ::testing::Test {
protected:
    // A patch of colour on the screen, shown before the test goes on.
    static constexpr RECT kPatch{100, 120, 300, 220};
    static constexpr COLORREF kColour = RGB(200, 40, 90);
    static constexpr Bgra kPatchPixel{90, 40, 200, 255};
    static constexpr Bgra kCaretPixel{0, 0, 0, 255};

    void SetUp() override {
        window_ = std::make_unique<PaintWindow>(kPatch, [](HDC dc, const RECT& r) { fillRect(dc, r, kColour); });
        ASSERT_TRUE(pumpUntil([] { return screenShows(150, 150, kColour); }));
    }

    std::unique_ptr<PaintWindow> window_;
};

TEST_F(ScreenCapturerGdi, WithoutDuplicationGrabsWhatWindowsShowAndSeesACaret) {
    LogCapture log;
    TestClock clock;
    ScreenCapturer capturer(clock.clock());
    ASSERT_TRUE(capturer.open(primaryMonitor()));
    EXPECT_TRUE(capturer.gdiMode());
    const std::string text = log.text();
    const size_t refused = text.find(" 화면 복제 실패 hr=-2147467263\n");
    ASSERT_NE(refused, std::string::npos) << text;
    EXPECT_NE(text.find(" GDI 로 화면 가져오기\n", refused), std::string::npos) << text;

    ASSERT_EQ(capturer.grab(16), 1);
    ASSERT_TRUE(capturer.mapFrame());
    EXPECT_EQ(capturer.width(), GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(capturer.pitch(), capturer.width() * 4);
    EXPECT_EQ(pixelAt(capturer, 150, 150), kPatchPixel);
    EXPECT_EQ(pixelAt(capturer, kPatch.left, kPatch.top), kPatchPixel);
    EXPECT_NE(pixelAt(capturer, kPatch.left - 1, kPatch.top), kPatchPixel);

    // Ten milliseconds later the capturer waits out the rest of its interval instead of grabbing.
    clock.advanceMs(10);
    EXPECT_EQ(capturer.grab(16), 0);
    EXPECT_EQ(capturer.grab(1), 0);
    EXPECT_EQ(clock.sleeps, (std::vector<int>{16, 1}));

    clock.advanceMs(40);
    EXPECT_EQ(capturer.grab(16), 0) << "nothing changed";

    // A text caret one pixel wide.
    const RECT caret{57, 11, 58, 27};  // in the window
    window_->repaint([caret](HDC dc, const RECT& r) {
        fillRect(dc, r, kColour);
        fillRect(dc, caret, RGB(0, 0, 0));
    });
    ASSERT_TRUE(pumpUntil([] { return screenShows(157, 131, RGB(0, 0, 0)); }));
    clock.advanceMs(40);
    EXPECT_EQ(capturer.grab(16), 1);
    ASSERT_TRUE(capturer.mapFrame());
    EXPECT_EQ(pixelAt(capturer, 157, 131), kCaretPixel);
    EXPECT_EQ(pixelAt(capturer, 157, 146), kCaretPixel);
    EXPECT_EQ(pixelAt(capturer, 158, 131), kPatchPixel);
    EXPECT_EQ(pixelAt(capturer, 157, 147), kPatchPixel);
}

TEST_F(ScreenCapturerGdi, ADisplayThatChangedIsNoticedWithinASecond) {
    const MonitorInfo real = primaryMonitor();
    MonitorInfo smaller = real;
    smaller.right = 640;
    smaller.bottom = 480;
    MonitorInfo moved = real;
    moved.left += 1;
    MonitorInfo gone = real;
    gone.deviceName = L"\\\\.\\DISPLAY77";
    const struct {
        const char* what;
        MonitorInfo monitor;
        int afterASecond;
    } cases[] = {
        {"unchanged", real, 0},
        {"other size", smaller, -1},
        {"moved", moved, -1},
        {"gone", gone, -1},
    };
    LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestClock clock;
        ScreenCapturer capturer(clock.clock());
        ASSERT_TRUE(capturer.open(c.monitor));
        ASSERT_TRUE(capturer.gdiMode());
        EXPECT_EQ(capturer.width(), c.monitor.right - c.monitor.left);
        EXPECT_EQ(capturer.grab(16), 1);
        clock.advanceMs(500);
        EXPECT_EQ(capturer.grab(16), 0) << "looked before a second passed";
        clock.advanceMs(500);
        EXPECT_EQ(capturer.grab(16), c.afterASecond);
    }
}

// A factory whose first adapter answers its outputs with `outputAnswer` (leaving no output) and
// whose second adapter is the system's first or, with `secondAnswer`, that failure instead.
class ScriptedAdapter : public ComObject<IDXGIAdapter1> {
public:
    explicit ScriptedAdapter(HRESULT answer) : answer_(answer) {}
    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumOutputs(UINT, IDXGIOutput** output) override {
        *output = nullptr;
        ++calls;
        return answer_;
    }
    STDMETHODIMP GetDesc(DXGI_ADAPTER_DESC*) override { return E_NOTIMPL; }
    STDMETHODIMP CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDesc1(DXGI_ADAPTER_DESC1*) override { return E_NOTIMPL; }
    int calls = 0;

private:
    HRESULT answer_;
};

class ScriptedFactory : public ComObject<IDXGIFactory1> {
public:
    ScriptedFactory(HRESULT outputAnswer, HRESULT secondAnswer)
        : first_(adoptNew<IDXGIAdapter1>(new ScriptedAdapter(outputAnswer))), secondAnswer_(secondAnswer) {
        CreateDXGIFactory1(IID_PPV_ARGS(&system_));
    }
    STDMETHODIMP SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumAdapters(UINT, IDXGIAdapter**) override { return E_NOTIMPL; }
    STDMETHODIMP MakeWindowAssociation(HWND, UINT) override { return E_NOTIMPL; }
    STDMETHODIMP GetWindowAssociation(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override {
        *adapter = nullptr;
        ++calls;
        if (index == 0) return first_.CopyTo(adapter);
        if (index == 1 && secondAnswer_ != S_OK) return secondAnswer_;
        return system_ ? system_->EnumAdapters1(index - 1, adapter) : DXGI_ERROR_NOT_FOUND;
    }
    STDMETHODIMP_(BOOL) IsCurrent() override { return TRUE; }
    int calls = 0;

private:
    Microsoft::WRL::ComPtr<IDXGIAdapter1> first_;
    HRESULT secondAnswer_;
    Microsoft::WRL::ComPtr<IDXGIFactory1> system_;
};

// Only S_OK gives an adapter or an output: any other answer ends that enumeration, whose object
// is not used.
TEST(DxgiOutputSearch, AnswersOtherThanSuccessAreNotUsed) {
    const std::wstring display = primaryMonitor().deviceName;
    ASSERT_FALSE(display.empty());
    const struct {
        HRESULT outputAnswer, secondAnswer;
        bool found;
    } cases[] = {
        {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, S_OK, true},  // the next adapter is still searched
        {E_FAIL, S_OK, true},
        {DXGI_ERROR_NOT_FOUND, S_OK, true},
        {E_FAIL, DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, false},
        {E_FAIL, E_FAIL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.outputAnswer << " " << c.secondAnswer);
        auto factory = adoptNew<IDXGIFactory1>(new ScriptedFactory(c.outputAnswer, c.secondAnswer));
        Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
        Microsoft::WRL::ComPtr<IDXGIOutput> output;
        EXPECT_EQ(findDxgiOutput(factory.Get(), display, adapter, output), c.found);
        EXPECT_EQ(adapter != nullptr, c.found);
        EXPECT_EQ(output != nullptr, c.found);
        if (c.found) {
            DXGI_OUTPUT_DESC desc{};
            ASSERT_TRUE(SUCCEEDED(output->GetDesc(&desc)));
            EXPECT_EQ(display, desc.DeviceName);
        }
    }
}

}  // namespace
