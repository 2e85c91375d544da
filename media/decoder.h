// Video decoding: the picture handed to the viewer and how its geometry follows from the
// decoder's output type. The decoder transform itself builds on these.
#pragma once

#include <cstddef>
#include <cstdint>

// One decoded NV12 picture; valid only during the callback that receives it (the planes belong
// to the decoder's locked output buffer).
struct DecodedFrame {
    const uint8_t* y = nullptr;   // first luma row
    const uint8_t* uv = nullptr;  // first row of the interleaved chroma plane
    int32_t pitch = 0;            // bytes between rows, in both planes
    int32_t width = 0;            // visible size
    int32_t height = 0;
    bool fullRange = false;  // 0-255 rather than 16-235
    uint32_t tag = 0;        // the tag given with the access unit it came from; 0 when not known
};

// What a decoder's output type says about a picture.
struct OutputFormat {
    uint32_t streamWidth = 0, streamHeight = 0;  // from the stream header (0: unknown)
    int32_t outputWidth = 0, outputHeight = 0;   // of the NV12 output type (the height may be padded)
    int32_t pitch = 0;                           // bytes between rows
    int32_t nominalRange = -1;                   // 1: 0-255, 2: 16-235, else not stated
    bool defaultFullRange = false;               // the range when the output type does not state it
};

struct FrameGeometry {
    int32_t width = 0, height = 0;  // visible size
    size_t uvOffset = 0;            // chroma plane = luma plane + pitch x output height
    bool fullRange = false;
    // The buffer holds both planes (pitch x (output height + half of it, rounded up) bytes) and
    // each visible row with its last chroma pair fits in the pitch. Pictures that do not are skipped.
    bool fits = false;
};

// Visible width: the stream width clipped to the output width (the output width when the stream
// width is 0). Visible height: the stream height when it is non-zero and below the output height,
// else the output height.
FrameGeometry frameGeometry(const OutputFormat& format, size_t bufferLength);

// Largest stream a peer's header may announce: each side at most 16,384 pixels and at most
// 35,651,584 pixels in all (H.264 level 6.2's largest picture). 0 stays allowed (size unknown).
bool streamSizeAllowed(uint32_t width, uint32_t height);

// Largest output buffer a decoder may ask for: the largest allowed picture as NV12 (53.5 MB) with
// room for padded rows.
constexpr uint64_t kMaxDecodedPictureBytes = 64ull << 20;

#ifdef _WIN32
#include <windows.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <array>
#include <functional>
#include <vector>

#include "core/util.h"

// The viewer's video decoder: a Media Foundation decoder transform configured from each stream
// header and fed each video frame's access unit. Used by one thread.
class VideoDecoder {
public:
    using FrameCallback = std::function<void(const DecodedFrame&)>;

    // fullRangeDefault: the range of pictures whose decoder output does not state one.
    explicit VideoDecoder(bool fullRangeDefault = false) : fullRangeDefault_(fullRangeDefault) {}
    ~VideoDecoder() { close(); }
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Sets the decoder up for a stream header payload; the same header again changes nothing.
    // False (and closed) for a short or oversized header, or when no decoder can be set up.
    bool configure(ByteSpan header);
    // Decodes one access unit (NAL units behind lengths of the header's size) and calls onFrame
    // for every picture ready before it returns. False without a decoder or when decoding fails.
    // A decoder may hold pictures back: each picture carries the tag of its own access unit, found
    // by the sample time the decoder passes on (0 when it passes none).
    bool decode(ByteSpan payload, bool keyFrame, const FrameCallback& onFrame, uint32_t tag = 0);
    // Ends streaming and releases the transform; the next configure always builds a new one.
    void close();

private:
    enum class OutputType { Selected, Failed, TooLarge };
    OutputType selectOutputType();
    bool drain(const FrameCallback& onFrame);
    void deliver(IMFSample* sample, const FrameCallback& onFrame) const;
    uint32_t tagOf(IMFSample* sample) const;

    bool fullRangeDefault_;
    Microsoft::WRL::ComPtr<IMFTransform> transform_;
    Bytes header_;  // the last accepted one
    uint8_t codec_ = 0, nalLengthSize_ = 4;
    uint32_t streamWidth_ = 0, streamHeight_ = 0;
    std::vector<Bytes> parameterSets_;
    uint32_t outputBufferSize_ = 0;
    bool providesSamples_ = false;
    Microsoft::WRL::ComPtr<IMFSample> outputSample_;  // one per output type, reused by every drain
    int32_t outputWidth_ = 0, outputHeight_ = 0;  // the output height may be padded (1088 for 1080)
    int32_t outputPitch_ = 0, nominalRange_ = -1;
    uint64_t sampleTime_ = 0;  // 100-ns units, never reset
    // The tags of the latest inputs by sample time; far more than a decoder holds back.
    struct Tagged {
        uint64_t time = 0;
        uint32_t tag = 0;
    };
    std::array<Tagged, 64> tags_{};
};
#endif
