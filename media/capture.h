// Screen capture: the display record and the capture rules that need no Windows calls. The
// capturer itself (duplication with a GDI fallback) and the monitor enumeration build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One display.
struct MonitorInfo {
    uint32_t index = 0;  // display number, assigned by sortMonitors
    // The whole monitor area in virtual-screen pixels (not the work area).
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool primary = false;
    double scale = 1.0;       // DPI scale (effective DPI / 96)
    std::wstring deviceName;  // as the system names the display device, compared exactly
};

// The order the whole system numbers displays by: the primary monitor first, then by left edge;
// `index` becomes the position. Monitors that tie keep their order.
void sortMonitors(std::vector<MonitorInfo>& monitors);

#ifdef _WIN32
struct HMONITOR__;
// Every display, in the order sortMonitors gives, each with its DPI scale. Monitors whose
// information cannot be read are left out.
std::vector<MonitorInfo> listMonitors();
// The monitor's effective DPI / 96; 1.0 when it cannot be read.
double monitorScale(HMONITOR__* monitor);
#endif

// GDI capture grabs at most once per 33 ms. Given the time since the last grab and the caller's
// time-out, how long to sleep instead of grabbing (min(time-out, rest of the interval + 1 ms), not
// below 0), or none when a grab is due.
constexpr int64_t kGdiGrabIntervalNs = 33'000'000;
std::optional<int> gdiSleepMs(int64_t elapsedNs, int timeoutMs);

// Copies `height` rows of width x 4 bytes, `srcPitch` bytes apart, into `out` with no gaps
// (pitch width x 4). False, and `out` untouched, for a side of 0 or less or a pitch below width x 4.
bool copyImageRows(std::vector<uint8_t>& out, const uint8_t* src, int64_t srcPitch, int width, int height);

// Whether a BGRA image differs from the one seen last, byte for byte. The first image, and one of
// another size, count as changed; a changed image becomes the one to compare against.
// What grabbing cost since it was last asked: the images copied from the screen, the time of those
// copies and the time of comparing them with the last image.
struct GrabCost {
    int copies = 0;
    int64_t copyNs = 0, checkNs = 0;
};

class ChangeDetector {
public:
    bool changed(const uint8_t* pixels, int width, int height, int64_t pitch);
    void reset();  // the next image counts as changed

private:
    std::vector<uint8_t> last_;  // tightly packed
    int width_ = 0, height_ = 0;
    bool valid_ = false;
};

#ifdef _WIN32
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <functional>
#include <utility>

#include "core/util.h"

// The header of a width x height 32-bit BGRA bitmap with top-down rows, as GDI reads and writes
// screen images.
BITMAPINFO topDownBgraInfo(int width, int height);
// A width x height 32-bit top-down DIB section whose fourth byte is alpha, as cursors and icons
// with soft edges take it; `bits` points at its pixels. Null when it cannot be made.
HBITMAP createAlphaBitmap(int width, int height, void*& bits);

// Stands in for IDXGIOutput1::DuplicateOutput when set, for every capturer of the process (the
// product never sets it; tests do, where the system has no desktop duplication). Pass an empty
// function to go back to the system's.
using DuplicateOutputHook = std::function<HRESULT(ID3D11Device*, IDXGIOutput1*, IDXGIOutputDuplication**)>;
void setDuplicateOutputHook(DuplicateOutputHook hook);

// The output of `factory` whose device name is `deviceName`, with its adapter; false when none is.
// Only an S_OK answer counts as an adapter or output: any other ends that enumeration.
bool findDxgiOutput(IDXGIFactory1* factory, const std::wstring& deviceName,
                    Microsoft::WRL::ComPtr<IDXGIAdapter1>& adapter, Microsoft::WRL::ComPtr<IDXGIOutput>& output);

// Grabs one monitor as 32-bit BGRA: through desktop duplication when the system offers it for the
// monitor, else through GDI. Used by one thread.
class ScreenCapturer {
public:
    // The clock of the GDI pacing and the monitor check, and the sleep of the pacing and of the
    // pause after a failed re-opening of duplication.
    struct Clock {
        std::function<int64_t()> now = nowNanos;
        std::function<void(int)> sleep = sleepMs;
    };

    ScreenCapturer();
    explicit ScreenCapturer(Clock clock);
    ~ScreenCapturer();
    ScreenCapturer(const ScreenCapturer&) = delete;
    ScreenCapturer& operator=(const ScreenCapturer&) = delete;

    // True when duplication or GDI capture is ready.
    bool open(const MonitorInfo& monitor);
    // 1: a new image; 0: nothing new (time-out, only the pointer moved, an unchanged GDI image, or
    // a pause while duplication cannot be opened again); -1: failure, the caller opens again.
    int grab(int timeoutMs);
    // On true pixels() and pitch() show the last captured image until the next grab.
    bool mapFrame();
    void unmapFrame() {}  // mapFrame keeps its own copy: nothing to end
    void close();

    const uint8_t* pixels() const { return pixels_; }
    int pitch() const { return pitch_; }
    int width() const { return width_; }
    int height() const { return height_; }
    bool gdiMode() const { return gdi_; }
    // The cost of the grabs since the last call.
    GrabCost takeGrabCost() { return std::exchange(cost_, GrabCost{}); }

private:
    enum class Reopen { Ok, AccessDenied, Failed };
    Reopen openDuplication();
    void releaseDuplication();
    int grabDuplication(int timeoutMs);
    int copyDesktopImage(IDXGIResource* resource, bool& lost);
    bool openGdi();
    int grabGdi(int timeoutMs);
    bool monitorMoved() const;

    const uint8_t* pixels_ = nullptr;
    int pitch_ = 0;
    int width_ = 0, height_ = 0;
    bool gdi_ = false;
    MonitorInfo monitor_;
    Clock clock_;

    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<IDXGIOutputDuplication> duplication_;
    Microsoft::WRL::ComPtr<IDXGIOutput1> output_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
    bool frameAvailable_ = false;
    std::vector<uint8_t> buffer_;
    // Failed re-openings of duplication in a row for another reason than the secure desktop, and
    // the last failure logged (a pause repeats the attempt five times a second).
    int reopenFailures_ = 0;
    HRESULT lastLoggedFailure_ = S_OK;

    HDC screenDc_ = nullptr, memoryDc_ = nullptr;
    HBITMAP dib_ = nullptr;
    HGDIOBJ previousBitmap_ = nullptr;
    void* dibBits_ = nullptr;
    ChangeDetector changes_;
    int64_t lastGdiGrab_ = 0;
    int64_t lastMonitorCheck_ = 0;
    GrabCost cost_;
};
#endif
