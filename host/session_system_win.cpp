// The machine a host session runs on: the screen capturer, the H.264 encoder and the pointer
// shape; windows, the caret and the wake targets; the catalogue; the curtain, the clipboard
// monitor, the chat window and the sound sender; the copied files.
#include <windows.h>

#include "core/text.h"
#include "files/expand.h"
#include "files/listing.h"
#include "host/chat.h"
#include "host/clipboard.h"
#include "host/curtain.h"
#include "host/desktop.h"
#include "host/session_system.h"
#include "host/wake.h"
#include "media/audio.h"
#include "media/cursor.h"
#include "media/encoder.h"
#include "media/mf.h"

namespace {

class CapturerSource : public ScreenSource {
public:
    bool open(const MonitorInfo& monitor) override { return capturer_.open(monitor); }
    int grab(int timeoutMs) override { return capturer_.grab(timeoutMs); }
    bool mapFrame() override { return capturer_.mapFrame(); }
    void unmapFrame() override { capturer_.unmapFrame(); }
    const uint8_t* pixels() const override { return capturer_.pixels(); }
    int pitch() const override { return capturer_.pitch(); }
    int width() const override { return capturer_.width(); }
    int height() const override { return capturer_.height(); }
    bool gdiMode() const override { return capturer_.gdiMode(); }
    void close() override { capturer_.close(); }
    GrabCost takeGrabCost() override { return capturer_.takeGrabCost(); }

private:
    ScreenCapturer capturer_;
};

class H264Encoder : public PictureEncoder {
public:
    bool open(int width, int height, int fps, uint32_t bitrate) override {
        return encoder_.open(width, height, fps, bitrate);
    }
    bool encode(const uint8_t* nv12, bool forceKeyFrame, Bytes& out, bool& keyFrame) override {
        return encoder_.encode(nv12, forceKeyFrame, out, keyFrame);
    }
    void setBitrate(uint32_t bitsPerSecond) override { encoder_.setBitrate(bitsPerSecond); }
    void close() override { encoder_.close(); }
    int width() const override { return encoder_.width(); }
    int height() const override { return encoder_.height(); }
    std::string name() const override { return encoder_.name(); }

private:
    VideoEncoder encoder_;
};

class Pointer : public PointerSource {
public:
    bool poll(Bytes& out) override { return cursor_.poll(out); }

private:
    CursorCapturer cursor_;
};

class ChatWindowBox : public ChatBox {
public:
    ChatWindowBox(const std::string& peerName, std::function<void(const std::string&)> send) : window_(peerName) {
        window_.send = std::move(send);
    }
    void show() override { window_.show(); }
    void received(const std::string& text) override { window_.received(text); }
    void addNote(const std::string& text) override { window_.addNote(text); }

private:
    ChatWindow window_;
};

class Sound : public SoundSource {
public:
    void start(FormatSink format, FrameSink frame) override {
        sender_.stop();
        sender_.formatSink = std::move(format);
        sender_.frameSink = std::move(frame);
        sender_.start();
    }
    void stop() override { sender_.stop(); }

private:
    AudioSender sender_;
};

// Whether the capture thread's COM start-up succeeded, so that it is undone on that thread.
thread_local HRESULT captureCom = E_FAIL;

class Desktop : public SessionSystem {
public:
    std::unique_ptr<InputBackend> inputBackend() override { return makeSystemInputBackend(); }

    std::vector<MonitorInfo> monitors() override { return listMonitors(); }

    WindowState windowState(uint32_t id) override {
        WindowState state;
        HWND window = windowFromId(id);
        if (!window) return state;
        state.exists = true;
        state.visible = IsWindowVisible(window) != FALSE;
        state.minimised = IsIconic(window) != FALSE;
        ScreenRect bounds;
        if (windowBounds(window, bounds)) state.bounds = bounds;
        return state;
    }

    void restoreWindow(uint32_t id) override {
        // Asynchronous: another program's hung window must not hold the session's thread for good.
        if (HWND window = windowFromId(id)) ShowWindowAsync(window, SW_RESTORE);
    }

    Json windowEntry(uint32_t id, double scale) override {
        HWND window = windowFromId(id);
        if (!window) return Json();
        std::vector<WindowInfo> listed;
        collectWindow(window, listed);
        if (!listed.empty()) return windowJson(listed.front(), scale);
        // A window the list leaves out (this program's own, say) is still described.
        WindowInfo info;
        info.handle = id;
        wchar_t title[256] = {};
        const int n = GetWindowTextW(window, title, 256);
        info.title = wideToUtf8(std::wstring(title, size_t(n > 0 ? n : 0)));
        windowBounds(window, info.bounds);
        return windowJson(info, scale);
    }

    bool bringToFront(uint32_t id) override {
        HWND window = windowFromId(id);
        if (!window) return false;
        bringWindowToFront(window);
        return true;
    }

    std::optional<ScreenRect> caretRect() override {
        ScreenRect r;
        if (!focusedCaretRect(r)) return std::nullopt;
        return r;
    }

    Json wakeTargets() override { return localWakeTargets(); }

    void captureThreadStarts() override {
        captureCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // Neither the PC nor its display may go to sleep while someone watches it.
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
        ensureMediaFoundation();
    }
    void captureThreadEnds() override {
        releaseCaretAutomation();
        SetThreadExecutionState(ES_CONTINUOUS);
        if (SUCCEEDED(captureCom)) CoUninitialize();
        captureCom = E_FAIL;
    }
    std::unique_ptr<ScreenSource> screenSource() override { return std::make_unique<CapturerSource>(); }
    std::unique_ptr<PictureEncoder> pictureEncoder() override { return std::make_unique<H264Encoder>(); }
    std::unique_ptr<PointerSource> pointerSource() override { return std::make_unique<Pointer>(); }

    void sendAppList(CatalogueSession& session) override { ::sendAppList(session); }
    void launchFromCatalogue(CatalogueSession& session, const std::string& id) override {
        ::launchFromCatalogue(session, id);
    }

    bool curtainUp() override { return Curtain::instance().active.load(); }
    void setCurtain(bool up) override { Curtain::instance().set(up); }
    void setCurtainRelease(std::function<void()> callback) override {
        Curtain::instance().setOnLocalRelease(std::move(callback));
    }

    int addClipboardListener(std::function<void(const Bytes&)> listener) override {
        return ClipboardSync::instance().addListener(std::move(listener));
    }
    void removeClipboardListener(int id) override { ClipboardSync::instance().removeListener(id); }
    void applyClipboard(ByteSpan payload) override { ClipboardSync::instance().applyRemote(payload); }

    std::unique_ptr<ChatBox> chat(const std::string& peerName, std::function<void(const std::string&)> send) override {
        return std::make_unique<ChatWindowBox>(peerName, std::move(send));
    }
    std::unique_ptr<SoundSource> soundSource() override { return std::make_unique<Sound>(); }

    std::vector<std::wstring> clipboardFiles() override { return ::clipboardFiles(); }
    bool listsFolders() override { return true; }
    // On a listing thread of its own: known folders are asked through COM, single-threaded there.
    std::string listFolder(const std::string& path) override {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::string text = listFolderJson(path);
        if (SUCCEEDED(com)) CoUninitialize();
        return text;
    }
    bool folderWritable(const std::string& path, std::wstring& folder) override {
        return isFolderWritable(path, folder);
    }
};

}  // namespace

std::shared_ptr<SessionSystem> systemSessionSystem() {
    // Detached session threads may still use it while the process exits.
    static const auto* system = new std::shared_ptr<SessionSystem>(std::make_shared<Desktop>());
    return *system;
}
