#include "support/fake_duplication.h"

#include <wrl/client.h>

#include <atomic>

#include "media/capture.h"

using Microsoft::WRL::ComPtr;

DuplicationStep DuplicationStep::failure(HRESULT hr) {
    DuplicationStep s;
    s.kind = Kind::Error;
    s.error = hr;
    return s;
}

DuplicationStep DuplicationStep::pointerOnly() {
    DuplicationStep s;
    s.kind = Kind::PointerOnly;
    return s;
}

DuplicationStep DuplicationStep::frame(int width, int height, std::vector<uint8_t> pixels, DXGI_FORMAT format) {
    DuplicationStep s;
    s.kind = Kind::Frame;
    s.width = width;
    s.height = height;
    s.format = format;
    s.pixels = std::move(pixels);
    return s;
}

std::vector<uint8_t> patternPixels(int width, int height, uint8_t seed) {
    std::vector<uint8_t> p(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* px = &p[(size_t(y) * size_t(width) + size_t(x)) * 4];
            px[0] = uint8_t(x * 7 + seed);
            px[1] = uint8_t(y * 13 + seed);
            px[2] = uint8_t(x + y + seed * 3);
            px[3] = 255;
        }
    }
    return p;
}

namespace {

class Duplication final : public IDXGIOutputDuplication {
public:
    Duplication(std::shared_ptr<FakeDuplication::State> state, ID3D11Device* device)
        : state_(std::move(state)), device_(device) {
        ++state_->alive;
    }
    ~Duplication() { --state_->alive; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(IDXGIOutputDuplication)) {
            *out = static_cast<IDXGIOutputDuplication*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override { return E_NOTIMPL; }

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
        if (desc) *desc = state_->desc;
    }

    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info, IDXGIResource** resource) override {
        if (!info || !resource) return E_INVALIDARG;
        *info = {};
        *resource = nullptr;
        if (state_->held) {
            ++state_->acquiredWhileHeld;
            return DXGI_ERROR_INVALID_CALL;
        }
        DuplicationStep step;
        if (!state_->script.empty()) {
            step = std::move(state_->script.front());
            state_->script.pop_front();
        }
        switch (step.kind) {
        case DuplicationStep::Kind::Timeout:
            return DXGI_ERROR_WAIT_TIMEOUT;
        case DuplicationStep::Kind::Error:
            return step.error;
        case DuplicationStep::Kind::PointerOnly:
            // The system hands out its desktop image with such a frame too; the picture is stale.
            step.width = int(state_->desc.ModeDesc.Width);
            step.height = int(state_->desc.ModeDesc.Height);
            step.pixels.assign(size_t(step.width) * size_t(step.height) * 4, 0x5A);
            break;
        case DuplicationStep::Kind::Frame:
            info->LastPresentTime.QuadPart = ++presents_;
            info->AccumulatedFrames = 1;
            break;
        }
        ComPtr<ID3D11Texture2D> texture;
        D3D11_TEXTURE2D_DESC d{};
        d.Width = UINT(step.width);
        d.Height = UINT(step.height);
        d.MipLevels = 1;
        d.ArraySize = 1;
        d.Format = step.format;
        d.SampleDesc.Count = 1;
        d.Usage = D3D11_USAGE_DEFAULT;
        d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        if (FAILED(device_->CreateTexture2D(&d, nullptr, &texture))) return E_OUTOFMEMORY;
        ComPtr<ID3D11DeviceContext> context;
        device_->GetImmediateContext(&context);
        context->UpdateSubresource(texture.Get(), 0, nullptr, step.pixels.data(), UINT(step.width) * 4, 0);
        if (FAILED(texture.CopyTo(resource))) return E_NOINTERFACE;
        state_->held = true;
        ++state_->acquired;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT, RECT*, UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT, void*, UINT*, DXGI_OUTDUPL_POINTER_SHAPE_INFO*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
        if (!state_->held) return DXGI_ERROR_INVALID_CALL;
        state_->held = false;
        ++state_->released;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    std::shared_ptr<FakeDuplication::State> state_;
    ComPtr<ID3D11Device> device_;
    int64_t presents_ = 0;
};

}  // namespace

FakeDuplication::FakeDuplication(int width, int height) : state_(std::make_shared<State>()) {
    state_->desc.ModeDesc.Width = UINT(width);
    state_->desc.ModeDesc.Height = UINT(height);
    state_->desc.ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    state_->desc.Rotation = DXGI_MODE_ROTATION_IDENTITY;
    std::shared_ptr<State> state = state_;
    setDuplicateOutputHook([state](ID3D11Device* device, IDXGIOutput1*, IDXGIOutputDuplication** out) -> HRESULT {
        *out = nullptr;
        if (state->failuresLeft > 0) {
            --state->failuresLeft;
            return state->failure;
        }
        // A new duplication starts with no frame held, as the system's does.
        state->held = false;
        ++state->duplications;
        *out = new Duplication(state, device);
        return S_OK;
    });
}

FakeDuplication::~FakeDuplication() { setDuplicateOutputHook(nullptr); }
