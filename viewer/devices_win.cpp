// The product's devices of a viewer session on Windows: the clipboard monitor, and a COM
// apartment for each render thread. The media components plug in here.
#include "viewer/devices.h"

#include <windows.h>
#include <objbase.h>

#include "host/clipboard.h"
#include "media/decoder.h"

namespace {

class SystemDecoder : public VideoDecoderPort {
public:
    explicit SystemDecoder(bool fullRangeDefault) : decoder_(fullRangeDefault) {}
    bool configure(const Bytes& streamHeader) override { return decoder_.configure(streamHeader); }
    bool decode(ByteSpan accessUnit, bool keyFrame,
                const std::function<void(const DecodedFrame&)>& onPicture) override {
        return decoder_.decode(accessUnit, keyFrame, onPicture);
    }
    void close() override { decoder_.close(); }

private:
    VideoDecoder decoder_;
};

class NoRenderer : public VideoRendererPort {
public:
    bool init(void*) override { return false; }
    void upload(const DecodedFrame&) override {}
    void present() override {}
    void resizeIfNeeded() override {}
    void release() override {}
};

class NoSound : public SoundPort {
public:
    void setFormat(const std::string&) override {}
    void playFrame(const Bytes&) override {}
    void stop() override {}
};

class SystemClipboard : public ClipboardPort {
public:
    int addListener(Listener listener) override { return ClipboardSync::instance().addListener(std::move(listener)); }
    void removeListener(int id) override { ClipboardSync::instance().removeListener(id); }
    void applyRemote(ByteSpan payload) override { ClipboardSync::instance().applyRemote(payload); }
};

class ProductDevices : public ViewerDevices {
public:
    std::shared_ptr<void> renderThreadScope() override {
        // The render thread's own apartment, for the decoder's transform.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return nullptr;
        return std::shared_ptr<void>(nullptr, [](void*) { CoUninitialize(); });
    }
    std::unique_ptr<VideoDecoderPort> makeDecoder(bool fullRangeDefault) override {
        return std::make_unique<SystemDecoder>(fullRangeDefault);
    }
    std::unique_ptr<VideoRendererPort> makeRenderer() override { return std::make_unique<NoRenderer>(); }
    std::unique_ptr<SoundPort> makeSound() override { return std::make_unique<NoSound>(); }
    ClipboardPort& clipboard() override { return clipboard_; }

private:
    SystemClipboard clipboard_;
};

}  // namespace

std::shared_ptr<ViewerDevices> productViewerDevices() {
    static const std::shared_ptr<ViewerDevices> devices = std::make_shared<ProductDevices>();
    return devices;
}
