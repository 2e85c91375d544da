// The Direct3D 11 video renderer.
#include "media/renderer.h"

#include <d3dcompiler.h>

#include <cfloat>
#include <cstring>
#include <mutex>
#include <string>

#include "core/system_library.h"
#include "core/util.h"

using Microsoft::WRL::ComPtr;

namespace {

// Luma in t0, chroma (U in red, V in green) in t1; `range` as rangeConstants describes it.
const char kShader[] =
    "Texture2D ty:register(t0);Texture2D tuv:register(t1);SamplerState sm:register(s0);"
    "cbuffer C:register(b0){float4 range;};"
    "struct VO{float4 p:SV_POSITION;float2 t:TEXCOORD0;};"
    "VO vs(uint id:SV_VertexID){VO o;o.t=float2((id<<1)&2,id&2);"
    "o.p=float4(o.t.x*2-1,1-o.t.y*2,0,1);return o;}"
    "float4 ps(VO i):SV_Target{float y=(ty.Sample(sm,i.t).r-range.x)*range.y;"
    "float2 c=(tuv.Sample(sm,i.t).rg-range.w)*range.z;"
    "return float4(saturate(float3(y+1.5748*c.y,y-0.1873*c.x-0.4681*c.y,y+1.8556*c.x)),1);}";

// The compiler ships as a separate library; it is looked up once and stays loaded.
pD3DCompile compilerFunction() {
    static pD3DCompile fn = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        if (auto module = static_cast<HMODULE>(loadSystemLibrary(L"d3dcompiler_47.dll")))
            fn = reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(module, "D3DCompile")));
    });
    return fn;
}

bool compile(pD3DCompile fn, const char* name, const char* entry, const char* profile, ComPtr<ID3DBlob>& code,
             std::string& failure) {
    ComPtr<ID3DBlob> errors;
    const HRESULT hr =
        fn(kShader, sizeof kShader - 1, name, nullptr, nullptr, entry, profile, 0, 0, &code, &errors);
    if (SUCCEEDED(hr) && code) return true;
    std::string text;
    if (errors && errors->GetBufferSize() > 0)
        text.assign(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    failure = "셰이더 실패: " + text;
    return false;
}

// Copies `rows` rows of `bytes` each into a texture mapped for writing; false when it cannot be mapped.
bool fillTexture(ID3D11DeviceContext* context, ID3D11Texture2D* texture, const uint8_t* src, int32_t pitch,
                 int rows, int bytes) {
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(texture, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return false;
    auto* dst = static_cast<uint8_t*>(mapped.pData);
    for (int i = 0; i < rows; ++i)
        std::memcpy(dst + size_t(i) * mapped.RowPitch, src + ptrdiff_t(i) * pitch, size_t(bytes));
    context->Unmap(texture, 0);
    return true;
}

bool makeTexture(ID3D11Device* device, int width, int height, DXGI_FORMAT format, ComPtr<ID3D11Texture2D>& texture,
                 ComPtr<ID3D11ShaderResourceView>& view) {
    D3D11_TEXTURE2D_DESC d{};
    d.Width = UINT(width);
    d.Height = UINT(height);
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = format;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_DYNAMIC;
    d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return SUCCEEDED(device->CreateTexture2D(&d, nullptr, &texture)) &&
           SUCCEEDED(device->CreateShaderResourceView(texture.Get(), nullptr, &view));
}

}  // namespace

bool VideoRenderer::init(HWND hwnd) {
    std::string failure;
    if (setUp(hwnd, failure)) return true;
    if (!failure.empty()) logLine(failure);
    return false;
}

bool VideoRenderer::setUp(HWND hwnd, std::string& failure) {
    release();
    hwnd_ = hwnd;
    if (setUpHook_ && !setUpHook_(failure)) return false;
    const D3D_DRIVER_TYPE drivers[] = {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP};
    for (D3D_DRIVER_TYPE driver : drivers) {
        if (SUCCEEDED(D3D11CreateDevice(nullptr, driver, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device_, nullptr,
                                        &context_)))
            break;
        device_.Reset();
        context_.Reset();
    }
    if (!device_) {
        failure = "D3D11 장치 실패";
        return false;
    }

    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIFactory2> factory;
    if (SUCCEEDED(device_.As(&dxgiDevice)) && SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) &&
        SUCCEEDED(adapter->GetParent(IID_PPV_ARGS(&factory)))) {
        DXGI_SWAP_CHAIN_DESC1 desc{};
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.Scaling = DXGI_SCALING_STRETCH;
        desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
        for (DXGI_SWAP_EFFECT effect : {DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL}) {
            desc.SwapEffect = effect;
            if (SUCCEEDED(factory->CreateSwapChainForHwnd(device_.Get(), hwnd, &desc, nullptr, nullptr, &swapChain_)))
                break;
            swapChain_.Reset();
        }
    }
    if (!swapChain_) {
        failure = "스왑 체인 실패";
        return false;
    }
    factory->MakeWindowAssociation(hwnd, DXGI_MWA_NO_ALT_ENTER);

    const pD3DCompile compiler = compilerFunction();
    if (!compiler) {
        failure = "d3dcompiler_47 없음";
        return false;
    }
    ComPtr<ID3DBlob> vs, ps;
    if (!compile(compiler, "v", "vs", "vs_4_0", vs, failure) || !compile(compiler, "p", "ps", "ps_4_0", ps, failure))
        return false;
    if (FAILED(device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &vertexShader_)) ||
        FAILED(device_->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &pixelShader_)))
        return false;

    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.MaxAnisotropy = 1;
    sampler.ComparisonFunc = D3D11_COMPARISON_NEVER;
    sampler.MaxLOD = FLT_MAX;
    if (FAILED(device_->CreateSamplerState(&sampler, &sampler_))) return false;

    D3D11_BUFFER_DESC buffer{};
    buffer.ByteWidth = 16;
    buffer.Usage = D3D11_USAGE_DYNAMIC;
    buffer.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    buffer.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (FAILED(device_->CreateBuffer(&buffer, nullptr, &constants_))) return false;

    return createTargets();
}

bool VideoRenderer::createTargets() {
    target_.Reset();
    ComPtr<ID3D11Texture2D> back;
    if (FAILED(swapChain_->GetBuffer(0, IID_PPV_ARGS(&back)))) return false;
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    backBuffer_ = {int32_t(desc.Width), int32_t(desc.Height)};
    return SUCCEEDED(device_->CreateRenderTargetView(back.Get(), nullptr, &target_));
}

bool VideoRenderer::recoverLostDevice() {
    if (!deviceLost_) return true;
    if (!recovery_.attempt(nowNanos())) return false;
    std::string failure;
    if (!setUp(hwnd_, failure)) {
        if (!failure.empty() && recovery_.logFailure(failure)) logLine(failure);
        release();
        return false;
    }
    deviceLost_ = false;
    recovery_.recovered();
    return true;
}

void VideoRenderer::resizeIfNeeded() {
    if (!recoverLostDevice() || !swapChain_) return;
    RECT client{};
    GetClientRect(hwnd_, &client);
    const PixelSize size = backBufferSize(client.right - client.left, client.bottom - client.top);
    if (size.width == backBuffer_.width && size.height == backBuffer_.height) return;
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    target_.Reset();
    swapChain_->ResizeBuffers(0, UINT(size.width), UINT(size.height), DXGI_FORMAT_UNKNOWN, 0);
    createTargets();
}

void VideoRenderer::upload(const DecodedFrame& frame) {
    if (!recoverLostDevice() || !device_) return;
    const PixelSize size = uploadSize(frame.width, frame.height);
    if (!frame.y || !frame.uv || frame.pitch < size.width) return;
    if (size.width != textureSize_.width || size.height != textureSize_.height) {
        luma_.Reset();
        chroma_.Reset();
        lumaView_.Reset();
        chromaView_.Reset();
        textureSize_ = size;
        if (size.width > 0 && size.height > 0) {
            ++textureCreations_;
            if (!makeTexture(device_.Get(), size.width, size.height, DXGI_FORMAT_R8_UNORM, luma_, lumaView_) ||
                !makeTexture(device_.Get(), size.width / 2, size.height / 2, DXGI_FORMAT_R8G8_UNORM, chroma_,
                             chromaView_)) {
                // Tried again with the next picture.
                luma_.Reset();
                chroma_.Reset();
                lumaView_.Reset();
                chromaView_.Reset();
                textureSize_ = {};
            }
        }
    }
    if (luma_ && chroma_) {
        fillTexture(context_.Get(), luma_.Get(), frame.y, frame.pitch, size.height, size.width);
        fillTexture(context_.Get(), chroma_.Get(), frame.uv, frame.pitch, size.height / 2, size.width);
    }
    picture_ = size;
    fullRange_ = frame.fullRange;
}

void VideoRenderer::present() {
    if (!recoverLostDevice() || !target_) return;
    ID3D11RenderTargetView* target = target_.Get();
    context_->OMSetRenderTargets(1, &target, nullptr);
    const float black[4] = {0, 0, 0, 1};
    context_->ClearRenderTargetView(target, black);
    if (lumaView_ && chromaView_ && picture_.width > 0 && picture_.height > 0) {
        const Viewport v = letterbox(picture_.width, picture_.height, backBuffer_.width, backBuffer_.height);
        const D3D11_VIEWPORT viewport{v.x, v.y, v.width, v.height, 0.0f, 1.0f};
        context_->RSSetViewports(1, &viewport);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (SUCCEEDED(context_->Map(constants_.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
            const std::array<float, 4> range = rangeConstants(fullRange_);
            std::memcpy(mapped.pData, range.data(), sizeof(float) * range.size());
            context_->Unmap(constants_.Get(), 0);
        }
        context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        context_->IASetInputLayout(nullptr);
        context_->VSSetShader(vertexShader_.Get(), nullptr, 0);
        context_->PSSetShader(pixelShader_.Get(), nullptr, 0);
        ID3D11ShaderResourceView* views[2] = {lumaView_.Get(), chromaView_.Get()};
        context_->PSSetShaderResources(0, 2, views);
        ID3D11SamplerState* sampler = sampler_.Get();
        context_->PSSetSamplers(0, 1, &sampler);
        ID3D11Buffer* constants = constants_.Get();
        context_->PSSetConstantBuffers(0, 1, &constants);
        context_->Draw(3, 0);
    }
    if (keepCopies_) copyBackBuffer();
    HRESULT hr = swapChain_->Present(0, 0);
    if (presentHook_) hr = presentHook_(hr);
    if (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET) {
        // Nothing drawn with this device will show again: start over with a new one.
        logLine("D3D11 장치 잃음 hr=" + std::to_string(long(hr)));
        release();
        deviceLost_ = true;
    }
}

void VideoRenderer::copyBackBuffer() {
    copy_ = {};
    ComPtr<ID3D11Texture2D> back, staging;
    if (FAILED(swapChain_->GetBuffer(0, IID_PPV_ARGS(&back)))) return;
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &staging))) return;
    context_->CopyResource(staging.Get(), back.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return;
    copy_.width = int(desc.Width);
    copy_.height = int(desc.Height);
    copy_.bgra.resize(size_t(desc.Width) * desc.Height * 4);
    for (UINT y = 0; y < desc.Height; ++y)
        std::memcpy(copy_.bgra.data() + size_t(y) * desc.Width * 4,
                    static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch, size_t(desc.Width) * 4);
    context_->Unmap(staging.Get(), 0);
}

void VideoRenderer::release() {
    if (context_) {
        // The swap chain goes only once the context lets go of it; a new one for the same window
        // can be made only after that.
        context_->ClearState();
        context_->Flush();
    }
    constants_.Reset();
    sampler_.Reset();
    pixelShader_.Reset();
    vertexShader_.Reset();
    chromaView_.Reset();
    lumaView_.Reset();
    chroma_.Reset();
    luma_.Reset();
    target_.Reset();
    swapChain_.Reset();
    context_.Reset();
    device_.Reset();
    // New textures come with the next picture.
    textureSize_ = {};
    picture_ = {};
    backBuffer_ = {};
}
