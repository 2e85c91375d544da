// The product's devices of a viewer session on Windows: Media Foundation's decoder and the
// Direct3D renderer on the render thread (in a COM apartment of its own), the waveOut sound
// player, and the process's clipboard monitor.
#include "viewer/devices.h"

#include <windows.h>
#include <objbase.h>

#include "host/clipboard.h"
#include "media/audio.h"
#include "media/decoder.h"
#include "media/renderer.h"

namespace {

class SystemDecoder : public VideoDecoderPort {
public:
    explicit SystemDecoder(bool fullRangeDefault) : decoder_(fullRangeDefault) {}
    bool configure(const Bytes& streamHeader) override { return decoder_.configure(streamHeader); }
    bool decode(ByteSpan accessUnit, bool keyFrame, uint32_t tag,
                const std::function<void(const DecodedFrame&)>& onPicture) override {
        return decoder_.decode(accessUnit, keyFrame, onPicture, tag);
    }
    void close() override { decoder_.close(); }

private:
    VideoDecoder decoder_;
};

class SystemRenderer : public VideoRendererPort {
public:
    bool init(void* window) override { return renderer_.init(static_cast<HWND>(window)); }
    void upload(const DecodedFrame& frame) override { renderer_.upload(frame); }
    void present() override { renderer_.present(); }
    void resizeIfNeeded() override { renderer_.resizeIfNeeded(); }
    void release() override { renderer_.release(); }

private:
    VideoRenderer renderer_;
};

class SystemSound : public SoundPort {
public:
    void setFormat(const AudioFormat& format) override { player_.setFormat(format); }
    void playFrame(const Bytes& frame) override { player_.playFrame(frame); }
    void stop() override { player_.stop(); }

private:
    AudioPlayer player_;
};

class SystemClipboard : public ClipboardPort {
public:
    int addListener(Listener listener) override { return ClipboardSync::instance().addListener(std::move(listener)); }
    void removeListener(int id) override { ClipboardSync::instance().removeListener(id); }
    void applyRemote(ByteSpan payload) override { ClipboardSync::instance().applyRemote(payload); }
};

class SystemDevices : public ViewerDevices {
public:
    std::shared_ptr<void> renderThreadScope() override {
        // The render thread's own apartment, for the decoder's transform.
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return nullptr;
        return std::shared_ptr<void>(nullptr, [](void*) { CoUninitialize(); });
    }
    std::unique_ptr<VideoDecoderPort> makeDecoder(bool fullRangeDefault) override {
        return std::make_unique<SystemDecoder>(fullRangeDefault);
    }
    std::unique_ptr<VideoRendererPort> makeRenderer() override { return std::make_unique<SystemRenderer>(); }
    std::unique_ptr<SoundPort> makeSound() override { return std::make_unique<SystemSound>(); }
    ClipboardPort& clipboard() override { return clipboard_; }

private:
    SystemClipboard clipboard_;
};

}  // namespace

std::shared_ptr<ViewerDevices> productViewerDevices() {
    static const std::shared_ptr<ViewerDevices> devices = std::make_shared<SystemDevices>();
    return devices;
}
