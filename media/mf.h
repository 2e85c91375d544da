// Media Foundation start-up and the small helpers that the video and audio codecs share: the
// transform search, codec settings, media samples, the HEVC decoder probe and the start-up warm-up.
#pragma once

// Starts Media Foundation once per process (lite start-up, never shut down). Concurrent first
// calls wait for the one start-up. Each calling thread initialises COM itself.
void ensureMediaFoundation();

// Whether a software HEVC decoder transform is installed; searched once per process.
bool hasHevcDecoder();

// Loads the media stack on a detached thread so the first session does not wait for it; with
// warmEncoder it also opens and closes a 640x360 H.264 encoder. Logs "영상 준비 N ms" when done.
void mediaPrewarm(bool warmEncoder);

#ifdef _WIN32
#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The first synchronous software transform of `category` that takes video of `inputSubtype` and
// gives `outputSubtype` (GUID_NULL: any) and activates, or null. With `name`, the transform's
// friendly name (UTF-8, at most 255 bytes) is appended to it.
Microsoft::WRL::ComPtr<IMFTransform> findVideoTransform(const GUID& category, const GUID& inputSubtype,
                                                         const GUID& outputSubtype, std::string* name = nullptr);

// Sets a codec setting through the object's ICodecAPI as VT_UI4; every failure is ignored.
void setCodecValue(IUnknown* object, const GUID& api, uint32_t value);
// Sets CODECAPI_AVLowLatencyMode to true (VT_BOOL) through ICodecAPI; failures are ignored.
void enableLowLatency(IUnknown* object);

// A sample holding one memory buffer of max(length, capacity) bytes, with `bytes` copied in and
// the current length set when given; null when the buffer or the sample cannot be made.
Microsoft::WRL::ComPtr<IMFSample> makeMediaSample(const uint8_t* bytes, size_t length, size_t capacity);

// STREAM_CHANGE answers a drain takes before it fails: a transform that keeps answering it would
// otherwise hold the calling thread forever.
constexpr int kMaxStreamChangesPerDrain = 4;

// ProcessOutput calls a drain makes before it fails, whatever they answer: a transform that keeps
// giving output, or success without a sample, would otherwise hold the calling thread forever.
constexpr int kMaxOutputCallsPerDrain = 64;

// One ProcessOutput call on `stream`: into a fresh sample of `capacity` bytes, or into a sample of
// the transform's own when it provides them. Returns the call's result (E_OUTOFMEMORY when no
// sample could be made); on success `sample` holds the output. Returned events are released.
HRESULT processOutputSample(IMFTransform* transform, DWORD stream, bool providesSamples, size_t capacity,
                            Microsoft::WRL::ComPtr<IMFSample>& sample);
// The same, but the output goes into `reuse` (made of `capacity` bytes when empty, emptied of its
// attributes and length otherwise), which the caller keeps for the next call: one allocation per
// output type instead of one per call.
HRESULT processOutputSample(IMFTransform* transform, DWORD stream, bool providesSamples, size_t capacity,
                            Microsoft::WRL::ComPtr<IMFSample>& reuse, Microsoft::WRL::ComPtr<IMFSample>& sample);
#endif
