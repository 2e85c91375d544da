// The host's H.264 encoder: a software Media Foundation transform tuned for interactive use
// (constant bit rate, no B-pictures, low latency, key frames only on demand), fed one NV12
// picture per call.
#pragma once

#include <cstdint>
#include <string>

#include "core/util.h"

#ifdef _WIN32
#include <windows.h>
#include <mftransform.h>
#include <wrl/client.h>

class VideoEncoder {
public:
    VideoEncoder() = default;
    ~VideoEncoder() { close(); }
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Finds and sets up an encoder for width x height NV12 pictures at fps (1 when 0 or less) and
    // bitrate bits per second; an open encoder is closed first. False, logged and closed when no
    // encoder is installed or it refuses the output or the input type.
    bool open(int width, int height, int fps, uint32_t bitrate);
    // Encodes one width x height x 3 / 2 byte NV12 picture. `out` receives the Annex-B output of
    // this call (empty while the encoder holds the picture back); keyFrameOut tells whether any of
    // it is a clean point. False when closed or the transform fails; the encoder stays open.
    bool encode(const uint8_t* nv12, bool forceKeyFrame, Bytes& out, bool& keyFrameOut);
    void setBitrate(uint32_t bitsPerSecond);
    // Ends the stream and releases the transform.
    void close();

    bool isOpen() const { return transform_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    const std::string& name() const { return name_; }  // the transform's friendly name, if it has one

private:
    bool drain(Bytes& out, bool& keyFrameOut);

    int width_ = 0, height_ = 0;
    std::string name_;
    Microsoft::WRL::ComPtr<IMFTransform> transform_;
    Microsoft::WRL::ComPtr<IUnknown> codec_;  // queried for ICodecAPI on each setting
    DWORD inputStream_ = 0, outputStream_ = 0;
    size_t outputBufferSize_ = 0;
    bool providesSamples_ = false;
    Microsoft::WRL::ComPtr<IMFSample> outputSample_;  // kept from call to call
    uint32_t frameRate_ = 60;
    int64_t sampleTime_ = 0;  // 100-ns units
};
#endif
