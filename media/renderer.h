// Video rendering: the layout and colour rules of the Direct3D renderer that need no Windows calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The part of the back buffer the picture is drawn into: scaled to fit, aspect kept, centred
// (black bars on the other two sides).
struct Viewport {
    float x = 0, y = 0, width = 0, height = 0;
};
Viewport letterbox(int32_t pictureWidth, int32_t pictureHeight, int32_t backWidth, int32_t backHeight);

struct PixelSize {
    int32_t width = 0, height = 0;
};
// A picture uploads at its size rounded down to even (the chroma plane covers 2 x 2 blocks).
PixelSize uploadSize(int32_t frameWidth, int32_t frameHeight);
// The back buffer follows the window's client area, each side at least 1.
PixelSize backBufferSize(int32_t clientWidth, int32_t clientHeight);

// The pixel shader's constant `range`: y = (luma - x) * y; (cb, cr) = (chroma - w) * z, with the
// BT.709 matrix after it. Luma 16 and 235 of a limited-range picture, 0 and 255 of a full-range
// one, are black and white; chroma 128 is neutral (w = 128/255, not 0.5).
std::array<float, 4> rangeConstants(bool fullRange);

// When a renderer whose device was lost sets itself up again: at once the first time, then at most
// once a second, so that a device that cannot be made again costs one attempt a second rather than
// several per picture; a failure is logged only when it differs from the one logged last.
class RecoveryPacer {
public:
    // Whether an attempt may be made at `nowNs`; true means the attempt is counted as made.
    bool attempt(int64_t nowNs);
    // Whether the failure of an attempt is to be logged.
    bool logFailure(const std::string& failure);
    // The device is back: the next loss starts afresh.
    void recovered();

private:
    bool tried_ = false;
    int64_t lastAttemptNs_ = 0;
    std::string lastLogged_;
};

#ifdef _WIN32
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <functional>
#include <vector>

#include "media/decoder.h"

// Draws decoded NV12 pictures into a window with Direct3D 11: two dynamic textures, a pixel
// shader compiled at run time for the BT.709 conversion, one full-screen triangle in a letterboxed
// viewport. Used by one thread.
class VideoRenderer {
public:
    VideoRenderer() = default;
    ~VideoRenderer() { release(); }
    VideoRenderer(const VideoRenderer&) = delete;
    VideoRenderer& operator=(const VideoRenderer&) = delete;

    // True when the device, the swap chain for the window and the shaders are ready.
    bool init(HWND hwnd);
    // Takes the picture for drawing. After a lost device the renderer first sets itself up again.
    void upload(const DecodedFrame& frame);
    // Draws the last picture letterboxed into the window (black before the first) and presents.
    void present();
    // Follows the window's client size.
    void resizeIfNeeded();
    void release();

    // For tests: what Present answered goes through `hook`, whose result counts instead.
    void setPresentHook(std::function<HRESULT(HRESULT)> hook) { presentHook_ = std::move(hook); }
    // For tests: each setting-up first asks `hook`, which may fail it with a log text of its own.
    void setSetUpHook(std::function<bool(std::string& failure)> hook) { setUpHook_ = std::move(hook); }
    // For tests: while on, present copies back buffer 0 just before presenting it.
    struct BackBufferCopy {
        int width = 0, height = 0;
        std::vector<uint8_t> bgra;  // pitch width x 4
    };
    void keepBackBufferCopies(bool on) { keepCopies_ = on; }
    const BackBufferCopy& lastBackBuffer() const { return copy_; }
    PixelSize textureSize() const { return textureSize_; }
    PixelSize backBuffer() const { return backBuffer_; }
    int textureCreations() const { return textureCreations_; }

private:
    // init without its log line: false with the text init logs (empty for a failure it does not log).
    bool setUp(HWND hwnd, std::string& failure);
    bool createTargets();
    bool recoverLostDevice();
    void copyBackBuffer();

    PixelSize picture_;
    HWND hwnd_ = nullptr;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<IDXGISwapChain1> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> target_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> luma_, chroma_;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> lumaView_, chromaView_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader_;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> sampler_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> constants_;
    PixelSize textureSize_;
    PixelSize backBuffer_;
    bool fullRange_ = false;
    bool deviceLost_ = false;  // set up again before the next picture
    RecoveryPacer recovery_;

    std::function<HRESULT(HRESULT)> presentHook_;
    std::function<bool(std::string&)> setUpHook_;
    bool keepCopies_ = false;
    BackBufferCopy copy_;
    int textureCreations_ = 0;
};
#endif
