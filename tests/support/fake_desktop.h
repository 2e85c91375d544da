// A machine for host sessions in tests: displays, windows, a caret, a screen that changes when
// told, a small H.264-shaped encoder with failure knobs, a pointer, the catalogue, curtain,
// clipboard, chat and sound, all recorded. Thread-safe; tests change it while sessions run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/session_system.h"
#include "support/recording_input.h"

class FakeDesktop : public SessionSystem, public std::enable_shared_from_this<FakeDesktop> {
public:
    struct EncoderOpen {
        int width, height, fps;
        uint32_t rate;
    };
    struct Knobs {
        int maxEncoderWidth = 0;      // opens above this width fail (0: any)
        int failEncodes = 0;          // the next encodes fail
        bool holdBack = false;        // the output of a picture comes with the next one
        bool ignoreKeyRequest = false;
        bool failScreenOpen = false;
        int failGrabs = 0;            // the next grabs fail
        bool screenChanges = true;    // every grab brings a new picture
        int grabDelayMs = 2;          // a grab of a changing screen takes this long (at most its time-out)
    };

    FakeDesktop();

    // The test's view.
    RecordingInput input;
    void setMonitors(std::vector<MonitorInfo> monitors);
    void setWindow(uint32_t id, const WindowState& state);
    void removeWindow(uint32_t id);
    void setCaret(std::optional<ScreenRect> caret);
    void setKnobs(const Knobs& knobs);
    Knobs knobs();
    void setClipboardFiles(std::vector<std::wstring> files);
    void setFolders(bool lists, std::function<std::string(const std::string&)> list, std::vector<std::string> writable);
    void setCatalogueDelayMs(int ms);
    // Runs at the start of every launch, on the launching thread (a test can hold launches there).
    void setLaunchHook(std::function<void(const std::string& id)> hook);

    std::vector<EncoderOpen> encoderOpens();
    std::vector<uint32_t> bitrates();
    std::vector<bool> encodeForceFlags();
    int screenOpens();
    std::vector<uint32_t> broughtToFront();
    std::vector<uint32_t> restored();
    int appListsSent();
    int catalogueThreadsAtOnce();  // the most that ran at the same time
    std::vector<std::string> launches();
    bool curtain();
    std::vector<bool> curtainSets();
    void localCurtainRelease();  // the person at the host lifts the curtain
    int clipboardListeners();
    void clipboardChanged(const Bytes& payload);  // calls every listener, as the clipboard window would
    std::vector<Bytes> appliedClipboard();
    std::vector<std::string> chatLines();   // received lines
    std::vector<std::string> chatNotes();
    int chatShows();
    void typeChatLine(const std::string& line);  // as if typed in the chat window
    int soundStarts();
    int soundStops();
    bool soundRunning();
    int captureThreads();  // capture threads running

    // SessionSystem
    std::unique_ptr<InputBackend> inputBackend() override;
    std::vector<MonitorInfo> monitors() override;
    WindowState windowState(uint32_t window) override;
    void restoreWindow(uint32_t window) override;
    Json windowEntry(uint32_t window, double scale) override;
    bool bringToFront(uint32_t window) override;
    std::optional<ScreenRect> caretRect() override;
    Json wakeTargets() override;
    void captureThreadStarts() override;
    void captureThreadEnds() override;
    std::unique_ptr<ScreenSource> screenSource() override;
    std::unique_ptr<PictureEncoder> pictureEncoder() override;
    std::unique_ptr<PointerSource> pointerSource() override;
    void sendAppList(CatalogueSession& session) override;
    void launchFromCatalogue(CatalogueSession& session, const std::string& id) override;
    bool curtainUp() override;
    void setCurtain(bool up) override;
    void setCurtainRelease(std::function<void()> callback) override;
    int addClipboardListener(std::function<void(const Bytes&)> listener) override;
    void removeClipboardListener(int id) override;
    void applyClipboard(ByteSpan payload) override;
    std::unique_ptr<ChatBox> chat(const std::string& peerName, std::function<void(const std::string&)> send) override;
    std::unique_ptr<SoundSource> soundSource() override;
    std::vector<std::wstring> clipboardFiles() override;
    bool listsFolders() override;
    std::string listFolder(const std::string& path) override;
    bool folderWritable(const std::string& path, std::wstring& folder) override;

    struct State;

private:
    std::unique_lock<std::mutex> locked() const;

    std::shared_ptr<State> state_;
};

// The wire form of the fake encoder's pictures: a key picture is SPS (67 w h), PPS (68 fps) and an
// IDR slice (65 n), another picture a slice (41 n), n counting the encoder's pictures from 1.
struct FakePicture {
    bool key = false;
    uint32_t number = 0;
};
std::optional<FakePicture> readFakePicture(ByteSpan videoFramePayload);
