// Builds without a desktop: no display, windows, curtain, clipboard, chat or sound; no encoder.
#include "host/session_system.h"

#include "files/listing.h"
#include "host/wake.h"

namespace {

class NoScreen : public ScreenSource {
public:
    bool open(const MonitorInfo&) override { return false; }
    int grab(int) override { return -1; }
    bool mapFrame() override { return false; }
    void unmapFrame() override {}
    const uint8_t* pixels() const override { return nullptr; }
    int pitch() const override { return 0; }
    int width() const override { return 0; }
    int height() const override { return 0; }
    bool gdiMode() const override { return false; }
    void close() override {}
};

class NoEncoder : public PictureEncoder {
public:
    bool open(int, int, int, uint32_t) override { return false; }
    bool encode(const uint8_t*, bool, Bytes& out, bool& keyFrame) override {
        out.clear();
        keyFrame = false;
        return false;
    }
    void setBitrate(uint32_t) override {}
    void close() override {}
    int width() const override { return 0; }
    int height() const override { return 0; }
    std::string name() const override { return {}; }
};

class NoPointer : public PointerSource {
public:
    bool poll(Bytes&) override { return false; }
};

class NoDesktop : public SessionSystem {
public:
    std::unique_ptr<InputBackend> inputBackend() override { return makeSystemInputBackend(); }
    std::vector<MonitorInfo> monitors() override { return {}; }
    WindowState windowState(uint32_t) override { return {}; }
    void restoreWindow(uint32_t) override {}
    Json windowEntry(uint32_t, double) override { return Json(); }
    bool bringToFront(uint32_t) override { return false; }
    std::optional<ScreenRect> caretRect() override { return std::nullopt; }
    Json wakeTargets() override { return localWakeTargets(); }
    void captureThreadStarts() override {}
    void captureThreadEnds() override {}
    std::unique_ptr<ScreenSource> screenSource() override { return std::make_unique<NoScreen>(); }
    std::unique_ptr<PictureEncoder> pictureEncoder() override { return std::make_unique<NoEncoder>(); }
    std::unique_ptr<PointerSource> pointerSource() override { return std::make_unique<NoPointer>(); }
    void sendAppList(CatalogueSession& session) override {
        session.send(MsgType::AppList, catalogueReply({}, {}, {}, session.launching()).dump());
    }
    void launchFromCatalogue(CatalogueSession& session, const std::string&) override {
        session.send(MsgType::Notice, "이 프로그램은 실행할 수 없습니다");
    }
    bool curtainUp() override { return false; }
    void setCurtain(bool) override {}
    void setCurtainRelease(std::function<void()>) override {}
    int addClipboardListener(std::function<void(const Bytes&)>) override { return 0; }
    void removeClipboardListener(int) override {}
    void applyClipboard(ByteSpan) override {}
    std::unique_ptr<ChatBox> chat(const std::string&, std::function<void(const std::string&)>) override {
        return nullptr;
    }
    std::unique_ptr<SoundSource> soundSource() override { return nullptr; }
    std::vector<std::wstring> clipboardFiles() override { return {}; }
    bool listsFolders() override { return true; }
    std::string listFolder(const std::string& path) override { return listFolderJson(path); }
    bool folderWritable(const std::string& path, std::wstring& folder) override {
        return isFolderWritable(path, folder);
    }
};

}  // namespace

std::shared_ptr<SessionSystem> systemSessionSystem() {
    // Detached session threads may still use it while the process exits.
    static const auto* system = new std::shared_ptr<SessionSystem>(std::make_shared<NoDesktop>());
    return *system;
}
