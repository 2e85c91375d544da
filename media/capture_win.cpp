// Screen capture on Windows: the displays as the system lists them and their DPI scale, and the
// capturer over desktop duplication with GDI as the fallback.
#include <windows.h>

#include "media/capture.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>

#include "core/system_library.h"

using Microsoft::WRL::ComPtr;

namespace {

// GetDpiForMonitor(monitor, kind, dpiX, dpiY), loaded once: shcore.dll is not on every system.
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);

GetDpiForMonitorFn dpiForMonitor() {
    static const GetDpiForMonitorFn fn = [] {
        auto shcore = static_cast<HMODULE>(loadSystemLibrary(L"shcore.dll"));
        // Through void*: a FARPROC takes no arguments, so a direct cast draws a warning.
        void* found = shcore ? reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")) : nullptr;
        return reinterpret_cast<GetDpiForMonitorFn>(found);
    }();
    return fn;
}

BOOL CALLBACK monitorEnumProc(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) {
        MonitorInfo m;
        m.left = info.rcMonitor.left;
        m.top = info.rcMonitor.top;
        m.right = info.rcMonitor.right;
        m.bottom = info.rcMonitor.bottom;
        m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
        m.scale = monitorScale(monitor);
        m.deviceName = info.szDevice;
        reinterpret_cast<std::vector<MonitorInfo>*>(param)->push_back(std::move(m));
    }
    return TRUE;
}

struct HookSlot {
    std::mutex mutex;
    DuplicateOutputHook hook;
};
HookSlot& hookSlot() {
    static HookSlot* slot = new HookSlot;  // capture threads may outlive static destruction
    return *slot;
}

// A failed duplication, re-opened every 200 ms: after this many failures in a row for another
// reason than the secure desktop (output gone, device removed, mode refused) the caller is told.
constexpr int kMaxReopenFailures = 10;
constexpr int kReopenPauseMs = 200;
constexpr int64_t kMonitorCheckNs = 1'000'000'000;

void logHr(const char* text, HRESULT hr) { logLine(text + std::to_string(long(hr))); }

}  // namespace

void setDuplicateOutputHook(DuplicateOutputHook hook) {
    HookSlot& slot = hookSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.hook = std::move(hook);
}

double monitorScale(HMONITOR monitor) {
    const GetDpiForMonitorFn fn = dpiForMonitor();
    if (!fn) return 1.0;
    UINT x = 96, y = 96;
    if (fn(monitor, 0 /* effective DPI */, &x, &y) != S_OK || x == 0) return 1.0;
    return x / 96.0;
}

BITMAPINFO topDownBgraInfo(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

HBITMAP createAlphaBitmap(int width, int height, void*& bits) {
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = width;
    header.bV5Height = -height;  // top-down
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap =
        CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (bitmap && bits) return bitmap;
    if (bitmap) DeleteObject(bitmap);
    bits = nullptr;
    return nullptr;
}

std::vector<MonitorInfo> listMonitors() {
    std::vector<MonitorInfo> monitors;
    EnumDisplayMonitors(nullptr, nullptr, monitorEnumProc, reinterpret_cast<LPARAM>(&monitors));
    sortMonitors(monitors);
    return monitors;
}

ScreenCapturer::ScreenCapturer() = default;
ScreenCapturer::ScreenCapturer(Clock clock) : clock_(std::move(clock)) {}
ScreenCapturer::~ScreenCapturer() { close(); }

bool ScreenCapturer::open(const MonitorInfo& monitor) {
    close();
    monitor_ = monitor;
    gdi_ = false;
    reopenFailures_ = 0;
    lastLoggedFailure_ = S_OK;
    if (openDuplication() == Reopen::Ok) return true;
    output_.Reset();  // GDI needs no device
    context_.Reset();
    device_.Reset();
    gdi_ = true;
    return openGdi();
}

void ScreenCapturer::releaseDuplication() {
    duplication_.Reset();
    staging_.Reset();
    frameAvailable_ = false;
}

bool findDxgiOutput(IDXGIFactory1* factory, const std::wstring& deviceName, ComPtr<IDXGIAdapter1>& adapter,
                    ComPtr<IDXGIOutput>& output) {
    for (UINT a = 0;; ++a) {
        adapter.Reset();
        if (factory->EnumAdapters1(a, &adapter) != S_OK || !adapter) break;
        for (UINT o = 0;; ++o) {
            output.Reset();
            if (adapter->EnumOutputs(o, &output) != S_OK || !output) break;
            DXGI_OUTPUT_DESC desc{};
            if (SUCCEEDED(output->GetDesc(&desc)) && deviceName == desc.DeviceName) return true;
        }
    }
    adapter.Reset();
    output.Reset();
    return false;
}

ScreenCapturer::Reopen ScreenCapturer::openDuplication() {
    releaseDuplication();
    output_.Reset();
    ComPtr<IDXGIFactory1> factory;
    if (FAILED(CreateDXGIFactory1(IID_PPV_ARGS(&factory)))) return Reopen::Failed;
    ComPtr<IDXGIAdapter1> adapter;
    ComPtr<IDXGIOutput> output;
    if (!findDxgiOutput(factory.Get(), monitor_.deviceName, adapter, output)) return Reopen::Failed;
    if (FAILED(output.As(&output_))) return Reopen::Failed;
    if (!device_) {
        if (FAILED(D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                     nullptr, 0, D3D11_SDK_VERSION, &device_, nullptr, &context_))) {
            device_.Reset();
            context_.Reset();
            return Reopen::Failed;
        }
    }
    HRESULT hr;
    {
        DuplicateOutputHook hook;
        {
            HookSlot& slot = hookSlot();
            std::lock_guard<std::mutex> lock(slot.mutex);
            hook = slot.hook;
        }
        hr = hook ? hook(device_.Get(), output_.Get(), &duplication_)
                  : output_->DuplicateOutput(device_.Get(), &duplication_);
    }
    DXGI_OUTDUPL_DESC desc{};
    if (SUCCEEDED(hr) && duplication_) {
        duplication_->GetDesc(&desc);
        // A turned monitor would stream sideways, and the copy below reads BGRA only: GDI gives
        // the upright picture in BGRA.
        if (desc.Rotation != DXGI_MODE_ROTATION_IDENTITY || desc.ModeDesc.Format != DXGI_FORMAT_B8G8R8A8_UNORM)
            hr = DXGI_ERROR_UNSUPPORTED;
    } else if (SUCCEEDED(hr)) {
        hr = E_POINTER;
    }
    if (FAILED(hr)) {
        duplication_.Reset();
        if (hr != lastLoggedFailure_) logHr("화면 복제 실패 hr=", hr);
        lastLoggedFailure_ = hr;
        return hr == E_ACCESSDENIED ? Reopen::AccessDenied : Reopen::Failed;
    }
    lastLoggedFailure_ = S_OK;
    width_ = int(desc.ModeDesc.Width);
    height_ = int(desc.ModeDesc.Height);
    return Reopen::Ok;
}

int ScreenCapturer::grab(int timeoutMs) { return gdi_ ? grabGdi(timeoutMs) : grabDuplication(timeoutMs); }

int ScreenCapturer::grabDuplication(int timeoutMs) {
    if (!duplication_) {
        const Reopen reopened = openDuplication();
        if (reopened != Reopen::Ok) {
            // The secure desktop (a UAC prompt, the lock screen) ends by itself; a duplication
            // that keeps failing otherwise needs the caller to set capture up again.
            if (reopened == Reopen::AccessDenied) {
                reopenFailures_ = 0;
            } else if (++reopenFailures_ >= kMaxReopenFailures) {
                reopenFailures_ = 0;
                return -1;
            }
            clock_.sleep(kReopenPauseMs);
            return 0;
        }
        reopenFailures_ = 0;
    }
    DXGI_OUTDUPL_FRAME_INFO info{};
    ComPtr<IDXGIResource> resource;
    const HRESULT hr = duplication_->AcquireNextFrame(UINT(std::max(timeoutMs, 0)), &info, &resource);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return 0;
    if (FAILED(hr)) {
        // Access lost (mode change, secure desktop) or anything else: the next grab re-opens.
        releaseDuplication();
        return -1;
    }
    bool lost = false;
    // A frame whose last present time is 0 only moved the pointer: the previous image stands.
    const int result = info.LastPresentTime.QuadPart != 0 && resource ? copyDesktopImage(resource.Get(), lost) : 0;
    resource.Reset();
    duplication_->ReleaseFrame();
    if (lost) {
        releaseDuplication();
        return -1;
    }
    return result;
}

int ScreenCapturer::copyDesktopImage(IDXGIResource* resource, bool& lost) {
    ComPtr<ID3D11Texture2D> image;
    if (FAILED(resource->QueryInterface(IID_PPV_ARGS(&image)))) return 0;
    D3D11_TEXTURE2D_DESC desc{};
    image->GetDesc(&desc);
    if (desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
        lost = true;  // mapFrame reads BGRA only
        return -1;
    }
    D3D11_TEXTURE2D_DESC current{};
    if (staging_) staging_->GetDesc(&current);
    if (!staging_ || current.Width != desc.Width || current.Height != desc.Height) {
        staging_.Reset();
        frameAvailable_ = false;
        D3D11_TEXTURE2D_DESC s{};
        s.Width = desc.Width;
        s.Height = desc.Height;
        s.MipLevels = 1;
        s.ArraySize = 1;
        s.Format = desc.Format;
        s.SampleDesc.Count = 1;
        s.Usage = D3D11_USAGE_STAGING;
        s.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        if (FAILED(device_->CreateTexture2D(&s, nullptr, &staging_))) {
            staging_.Reset();
            return 0;
        }
        width_ = int(desc.Width);
        height_ = int(desc.Height);
    }
    const int64_t copyStart = nowNanos();
    context_->CopyResource(staging_.Get(), image.Get());
    ++cost_.copies;
    cost_.copyNs += nowNanos() - copyStart;
    frameAvailable_ = true;
    return 1;
}

bool ScreenCapturer::openGdi() {
    width_ = monitor_.right - monitor_.left;
    height_ = monitor_.bottom - monitor_.top;
    screenDc_ = GetDC(nullptr);
    memoryDc_ = screenDc_ ? CreateCompatibleDC(screenDc_) : nullptr;
    const BITMAPINFO info = topDownBgraInfo(width_, height_);
    if (memoryDc_ && width_ > 0 && height_ > 0)
        dib_ = CreateDIBSection(screenDc_, &info, DIB_RGB_COLORS, &dibBits_, nullptr, 0);
    if (dib_) previousBitmap_ = SelectObject(memoryDc_, dib_);
    changes_.reset();
    const int64_t now = clock_.now();
    lastGdiGrab_ = now - kGdiGrabIntervalNs;
    lastMonitorCheck_ = now;
    logLine("GDI 로 화면 가져오기");
    return dib_ != nullptr && dibBits_ != nullptr;
}

bool ScreenCapturer::monitorMoved() const {
    struct Search {
        const MonitorInfo* wanted;
        bool same;
    } search{&monitor_, false};
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR monitor, HDC, LPRECT, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            MONITORINFOEXW info{};
            info.cbSize = sizeof info;
            if (!GetMonitorInfoW(monitor, &info) || s->wanted->deviceName != info.szDevice) return TRUE;
            const RECT& r = info.rcMonitor;
            s->same = r.left == s->wanted->left && r.top == s->wanted->top && r.right == s->wanted->right &&
                      r.bottom == s->wanted->bottom;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return !search.same;
}

int ScreenCapturer::grabGdi(int timeoutMs) {
    if (!dib_ || !dibBits_) return -1;
    const int64_t now = clock_.now();
    if (const std::optional<int> pause = gdiSleepMs(now - lastGdiGrab_, timeoutMs)) {
        clock_.sleep(*pause);
        return 0;
    }
    lastGdiGrab_ = now;
    // GDI copies whatever lies at the old rectangle: a new display mode or arrangement is only
    // seen by looking, and the caller sets capture up again for it.
    if (now - lastMonitorCheck_ >= kMonitorCheckNs) {
        lastMonitorCheck_ = now;
        if (monitorMoved()) return -1;
    }
    const int64_t copyStart = nowNanos();
    if (!BitBlt(memoryDc_, 0, 0, width_, height_, screenDc_, monitor_.left, monitor_.top, SRCCOPY | CAPTUREBLT))
        return -1;
    GdiFlush();
    const int64_t checkStart = nowNanos();
    // The whole image is compared: a text caret of one pixel's width is a change worth sending.
    const bool changed = changes_.changed(static_cast<const uint8_t*>(dibBits_), width_, height_, int64_t(width_) * 4);
    ++cost_.copies;
    cost_.copyNs += checkStart - copyStart;
    cost_.checkNs += nowNanos() - checkStart;
    if (!changed) return 0;
    frameAvailable_ = true;
    return 1;
}

bool ScreenCapturer::mapFrame() {
    if (!frameAvailable_) return false;
    if (gdi_) {
        pixels_ = static_cast<const uint8_t*>(dibBits_);
        pitch_ = width_ * 4;
        return true;
    }
    if (!staging_) return false;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
    const bool copied =
        copyImageRows(buffer_, static_cast<const uint8_t*>(mapped.pData), int64_t(mapped.RowPitch), width_, height_);
    context_->Unmap(staging_.Get(), 0);
    if (!copied) return false;
    pixels_ = buffer_.data();
    pitch_ = width_ * 4;
    return true;
}

void ScreenCapturer::close() {
    releaseDuplication();
    output_.Reset();
    context_.Reset();
    device_.Reset();
    if (memoryDc_) {
        if (previousBitmap_) SelectObject(memoryDc_, previousBitmap_);
        DeleteDC(memoryDc_);
    }
    if (dib_) DeleteObject(dib_);
    if (screenDc_) ReleaseDC(nullptr, screenDc_);
    memoryDc_ = nullptr;
    dib_ = nullptr;
    previousBitmap_ = nullptr;
    dibBits_ = nullptr;
    screenDc_ = nullptr;
    pixels_ = nullptr;
    pitch_ = 0;
    frameAvailable_ = false;
}
