// What a viewer session drives besides its connection: the video decoder and renderer of its
// render thread, its sound player and the process's clipboard monitor. The product reaches the
// media and clipboard components through these (devices_win.cpp); tests put recorders in their
// place, so the session itself needs no Windows call.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/util.h"
#include "media/audio.h"
#include "media/decoder.h"

// Used by the render thread only.
class VideoDecoderPort {
public:
    virtual ~VideoDecoderPort() = default;
    // The stream header message; false when no decoder can be set up for it.
    virtual bool configure(const Bytes& streamHeader) = 0;
    // One access unit; every picture it yields goes to onPicture before this returns, with the tag
    // of the access unit it came from (a decoder may hold pictures back). False when there is no
    // decoder yet or decoding failed (a picture may still have come out).
    virtual bool decode(ByteSpan accessUnit, bool keyFrame, uint32_t tag,
                        const std::function<void(const DecodedFrame&)>& onPicture) = 0;
    virtual void close() = 0;
};

// Used by the render thread only. The window is the viewer's video child, held opaque.
class VideoRendererPort {
public:
    virtual ~VideoRendererPort() = default;
    virtual bool init(void* window) = 0;
    virtual void upload(const DecodedFrame& frame) = 0;
    virtual void present() = 0;
    virtual void resizeIfNeeded() = 0;
    virtual void release() = 0;
};

// The session's sound player; called from the receive thread and the UI thread.
class SoundPort {
public:
    virtual ~SoundPort() = default;
    // A format message as the receive thread read it.
    virtual void setFormat(const AudioFormat& format) = 0;
    virtual void playFrame(const Bytes& frame) = 0;
    // Silences and closes the output; a later format or frame starts it again.
    virtual void stop() = 0;
};

// The process-wide clipboard monitor.
class ClipboardPort {
public:
    using Listener = std::function<void(const Bytes& payload)>;
    virtual ~ClipboardPort() = default;
    // A non-zero id. Listeners run on the monitor's thread with the monitor's lock held.
    virtual int addListener(Listener listener) = 0;
    virtual void removeListener(int id) = 0;
    virtual void applyRemote(ByteSpan payload) = 0;
};

class ViewerDevices {
public:
    virtual ~ViewerDevices() = default;
    // Called first on each render thread; what it returns is dropped last, on the same thread
    // (the product's COM apartment of that thread).
    virtual std::shared_ptr<void> renderThreadScope() { return nullptr; }
    virtual std::unique_ptr<VideoDecoderPort> makeDecoder(bool fullRangeDefault) = 0;
    virtual std::unique_ptr<VideoRendererPort> makeRenderer() = 0;
    virtual std::unique_ptr<SoundPort> makeSound() = 0;
    virtual ClipboardPort& clipboard() = 0;
};

// The media and clipboard components of this build (natively: devices that decode, draw and
// play nothing).
std::shared_ptr<ViewerDevices> productViewerDevices();
