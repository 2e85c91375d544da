#include "media/mf.h"

#include <mfapi.h>
#include <mferror.h>
#include <strmif.h>
#include <codecapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/text.h"
#include "core/util.h"
#include "media/encoder.h"

using Microsoft::WRL::ComPtr;

void ensureMediaFoundation() {
    static std::once_flag once;
    std::call_once(once, [] { MFStartup(MF_VERSION, MFSTARTUP_LITE); });
}

namespace {

// At most 255 bytes, cut at a character boundary.
std::string limitedUtf8(const std::wstring& text) {
    std::string utf8 = wideToUtf8(text);
    if (utf8.size() <= 255) return utf8;
    size_t end = 255;
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    utf8.resize(end);
    return utf8;
}

void setCodecVariant(IUnknown* object, const GUID& api, VARIANT& value) {
    if (!object) return;
    ComPtr<ICodecAPI> codec;
    if (FAILED(object->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec.GetAddressOf())))) return;
    codec->SetValue(&api, &value);
}

}  // namespace

ComPtr<IMFTransform> findVideoTransform(const GUID& category, const GUID& inputSubtype, const GUID& outputSubtype,
                                        std::string* name) {
    const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, inputSubtype};
    const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, outputSubtype};
    IMFActivate** found = nullptr;
    UINT32 count = 0;
    ComPtr<IMFTransform> transform;
    const UINT32 flags = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER;
    if (FAILED(MFTEnumEx(category, flags, &input, outputSubtype == GUID_NULL ? nullptr : &output, &found, &count))) {
        return transform;
    }
    for (UINT32 i = 0; i < count; ++i) {
        if (!transform && SUCCEEDED(found[i]->ActivateObject(IID_PPV_ARGS(&transform))) && name) {
            WCHAR* friendly = nullptr;
            UINT32 length = 0;
            if (SUCCEEDED(found[i]->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &friendly, &length))) {
                *name += limitedUtf8(std::wstring(friendly, length));
                CoTaskMemFree(friendly);
            }
        }
        found[i]->Release();
    }
    CoTaskMemFree(found);
    return transform;
}

void setCodecValue(IUnknown* object, const GUID& api, uint32_t value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = value;
    setCodecVariant(object, api, v);
}

void enableLowLatency(IUnknown* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    setCodecVariant(object, CODECAPI_AVLowLatencyMode, v);
}

ComPtr<IMFSample> makeMediaSample(const uint8_t* bytes, size_t length, size_t capacity) {
    ComPtr<IMFSample> sample;
    const size_t size = std::max(length, capacity);
    if (size > std::numeric_limits<DWORD>::max()) return sample;
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(MFCreateMemoryBuffer(DWORD(size), &buffer))) return sample;
    if (bytes && length > 0) {
        BYTE* data = nullptr;
        if (FAILED(buffer->Lock(&data, nullptr, nullptr))) return sample;
        std::memcpy(data, bytes, length);
        buffer->Unlock();
        if (FAILED(buffer->SetCurrentLength(DWORD(length)))) return sample;
    }
    if (FAILED(MFCreateSample(&sample)) || FAILED(sample->AddBuffer(buffer.Get()))) sample.Reset();
    return sample;
}

HRESULT processOutputSample(IMFTransform* transform, DWORD stream, bool providesSamples, size_t capacity,
                            ComPtr<IMFSample>& reuse, ComPtr<IMFSample>& sample) {
    sample.Reset();
    MFT_OUTPUT_DATA_BUFFER data{};
    data.dwStreamID = stream;
    if (!providesSamples) {
        if (reuse) {
            // What the last output left (its time, its key-frame mark, its length) must not pass
            // for this one's.
            ComPtr<IMFMediaBuffer> buffer;
            if (FAILED(reuse->DeleteAllItems()) || FAILED(reuse->GetBufferByIndex(0, &buffer)) ||
                FAILED(buffer->SetCurrentLength(0))) {
                reuse.Reset();
            }
        }
        if (!reuse) reuse = makeMediaSample(nullptr, 0, capacity);
        if (!reuse) return E_OUTOFMEMORY;
        sample = reuse;
        data.pSample = sample.Get();
    }
    DWORD status = 0;
    const HRESULT hr = transform->ProcessOutput(0, 1, &data, &status);
    if (data.pEvents) data.pEvents->Release();
    if (providesSamples && data.pSample) {
        // The transform's own sample comes with a reference that is ours to release; MinGW's
        // ComPtr::Attach adds one of its own, so take it over by assignment and release it.
        sample = data.pSample;
        data.pSample->Release();
    }
    return hr;
}

HRESULT processOutputSample(IMFTransform* transform, DWORD stream, bool providesSamples, size_t capacity,
                            ComPtr<IMFSample>& sample) {
    ComPtr<IMFSample> fresh;
    return processOutputSample(transform, stream, providesSamples, capacity, fresh, sample);
}

bool hasHevcDecoder() {
    // Shared by the warm-up thread and the viewer's connect thread; both may search the first
    // time, with the same answer.
    static std::atomic<int> cached{-1};
    ensureMediaFoundation();
    const int known = cached.load();
    if (known >= 0) return known == 1;
    const bool found = findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_HEVC, GUID_NULL) != nullptr;
    cached.store(found ? 1 : 0);
    return found;
}

void mediaPrewarm(bool warmEncoder) {
    try {
        std::thread([warmEncoder] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const int64_t start = nowNanos();
            ensureMediaFoundation();
            hasHevcDecoder();
            if (warmEncoder) {
                VideoEncoder encoder;
                encoder.open(640, 360, 30, 1'000'000);
                encoder.close();
            }
            logLine("영상 준비 " + std::to_string((nowNanos() - start) / 1'000'000) + " ms");
            if (SUCCEEDED(com)) CoUninitialize();
        }).detach();
    } catch (const std::system_error&) {
        // No thread: everything loads on first use instead.
    }
}
