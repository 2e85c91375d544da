// Native stand-in for the product's devices: no decoder, no window, no sound, no clipboard.
#include "viewer/devices.h"

namespace {

class NoDecoder : public VideoDecoderPort {
public:
    bool configure(const Bytes&) override { return false; }
    bool decode(ByteSpan, bool, uint32_t, const std::function<void(const DecodedFrame&)>&) override { return false; }
    void close() override {}
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
    void setFormat(const AudioFormat&) override {}
    void playFrame(const Bytes&) override {}
    void stop() override {}
};

class NoClipboard : public ClipboardPort {
public:
    int addListener(Listener) override { return 1; }
    void removeListener(int) override {}
    void applyRemote(ByteSpan) override {}
};

class NoDevices : public ViewerDevices {
public:
    std::unique_ptr<VideoDecoderPort> makeDecoder(bool) override { return std::make_unique<NoDecoder>(); }
    std::unique_ptr<VideoRendererPort> makeRenderer() override { return std::make_unique<NoRenderer>(); }
    std::unique_ptr<SoundPort> makeSound() override { return std::make_unique<NoSound>(); }
    ClipboardPort& clipboard() override { return clipboard_; }

private:
    NoClipboard clipboard_;
};

}  // namespace

std::shared_ptr<ViewerDevices> productViewerDevices() {
    static const std::shared_ptr<ViewerDevices> devices = std::make_shared<NoDevices>();
    return devices;
}
