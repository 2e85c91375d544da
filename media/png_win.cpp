// PNG encoding and decoding over the Windows Imaging Component.
#include "media/png.h"

#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <climits>
#include <cstring>
#include <new>

using Microsoft::WRL::ComPtr;

namespace {

ComPtr<IWICImagingFactory> makeFactory() {
    ComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))))
        return nullptr;
    return factory;
}

// The stream's whole content; false when it cannot be read back.
bool copyStream(IStream* stream, Bytes& out) {
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return false;
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream, &memory))) return false;
    if (stat.cbSize.QuadPart > GlobalSize(memory)) return false;
    const void* data = GlobalLock(memory);
    if (!data) return false;
    bool ok = true;
    try {
        out.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + stat.cbSize.QuadPart);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    GlobalUnlock(memory);
    return ok;
}

bool encodeInto(Bytes& out, const uint8_t* bgraPixels, int width, int height, int pitch) {
    if (!bgraPixels || width < 1 || height < 1 || pitch < 1 || uint64_t(pitch) < uint64_t(width) * 4) return false;
    uint64_t bufferSize = uint64_t(pitch) * uint64_t(height);
    if (bufferSize > UINT_MAX) return false;
    ComPtr<IWICImagingFactory> factory = makeFactory();
    if (!factory) return false;
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return false;
    ComPtr<IWICBitmapEncoder> encoder;
    if (FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder))) return false;
    if (FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache))) return false;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> properties;
    if (FAILED(encoder->CreateNewFrame(&frame, &properties))) return false;
    if (FAILED(frame->Initialize(properties.Get()))) return false;
    if (FAILED(frame->SetSize(UINT(width), UINT(height)))) return false;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    // The encoder may answer with the nearest format it supports; writing BGRA rows into any
    // other would scramble the picture.
    if (FAILED(frame->SetPixelFormat(&format)) || !IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) return false;
    if (FAILED(frame->WritePixels(UINT(height), UINT(pitch), UINT(bufferSize), const_cast<BYTE*>(bgraPixels))))
        return false;
    if (FAILED(frame->Commit()) || FAILED(encoder->Commit())) return false;
    return copyStream(stream.Get(), out);
}

}  // namespace

void encodePng(Bytes& out, const uint8_t* bgraPixels, int width, int height, int pitch) {
    out.clear();
    if (!encodeInto(out, bgraPixels, width, height, pitch)) out.clear();
}

bool decodePngInto(ByteSpan bytes, uint64_t maxPixels, const std::function<PngRows(int width, int height)>& place) {
    if (bytes.empty() || bytes.size() > UINT_MAX) return false;
    // Other decoders, and the PNG decoder too, may set aside room for the whole picture as soon
    // as they read the header, so the declared size is judged before any decoder is made.
    if (!pngFitsLimit(bytes, maxPixels)) return false;
    ComPtr<IWICImagingFactory> factory = makeFactory();
    if (!factory) return false;
    ComPtr<IWICStream> stream;
    if (FAILED(factory->CreateStream(&stream))) return false;
    // The stream only reads from the buffer.
    if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(bytes.data()), DWORD(bytes.size())))) return false;
    // The PNG decoder by name: letting the factory pick one by content would hand other formats
    // to decoders this check knows nothing of.
    ComPtr<IWICBitmapDecoder> decoder;
    if (FAILED(CoCreateInstance(CLSID_WICPngDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder))))
        return false;
    if (FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand))) return false;
    ComPtr<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(0, &frame))) return false;
    ComPtr<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(&converter))) return false;
    if (FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)))
        return false;
    UINT width = 0, height = 0;
    if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0) return false;
    uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (pixels > maxPixels || pixels * 4 > UINT_MAX || width > INT_MAX / 4 || height > INT_MAX) return false;
    const PngRows rows = place(int(width), int(height));
    if (!rows.top) return false;
    const UINT rowBytes = width * 4;
    if (rows.step == std::ptrdiff_t(rowBytes))
        return SUCCEEDED(converter->CopyPixels(nullptr, rowBytes, UINT(pixels * 4), rows.top));
    // Any other layout row by row, each straight into its place.
    for (UINT y = 0; y < height; ++y) {
        const WICRect line{0, INT(y), INT(width), 1};
        if (FAILED(converter->CopyPixels(&line, rowBytes, rowBytes, rows.top + std::ptrdiff_t(y) * rows.step)))
            return false;
    }
    return true;
}

bool decodePng(ByteSpan bytes, Bytes& outPixels, int& outWidth, int& outHeight, uint64_t maxPixels) {
    int width = 0, height = 0;
    const bool ok = decodePngInto(bytes, maxPixels, [&](int w, int h) {
        try {
            outPixels.resize(size_t(w) * size_t(h) * 4);
        } catch (const std::bad_alloc&) {
            return PngRows{};
        }
        width = w;
        height = h;
        return PngRows{outPixels.data(), std::ptrdiff_t(w) * 4};
    });
    if (!ok) {
        outPixels.clear();
        return false;
    }
    outWidth = width;
    outHeight = height;
    return true;
}
