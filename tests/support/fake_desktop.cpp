#include "support/fake_desktop.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "core/util.h"
#include "core/wire.h"
#include "files/fileio.h"
#include "host/protocol/messages.h"

struct FakeDesktop::State {
    std::mutex mutex;
    std::vector<MonitorInfo> monitors;
    std::map<uint32_t, WindowState> windows;
    std::optional<ScreenRect> caret;
    Knobs knobs;
    std::vector<std::wstring> clipboardFiles;
    bool listsFolders = false;
    std::function<std::string(const std::string&)> listFolder;
    std::vector<std::string> writable;
    int catalogueDelayMs = 0;
    std::function<void(const std::string&)> launchHook;

    std::vector<EncoderOpen> opens;
    std::vector<uint32_t> bitrates;
    std::vector<bool> forceFlags;
    int screenOpens = 0;
    std::vector<uint32_t> front;
    std::vector<uint32_t> restored;
    int appLists = 0;
    int catalogueRunning = 0;
    int catalogueMost = 0;
    std::vector<std::string> launches;
    bool curtain = false;
    std::vector<bool> curtainSets;
    std::function<void()> curtainRelease;
    std::map<int, std::function<void(const Bytes&)>> listeners;
    int nextListener = 1;
    std::vector<Bytes> applied;
    std::vector<std::string> chatLines;
    std::vector<std::string> chatNotes;
    int chatShows = 0;
    std::function<void(const std::string&)> chatSend;
    int soundStarts = 0;
    int soundStops = 0;
    bool soundRunning = false;
    int captureThreads = 0;
};

namespace {

using State = FakeDesktop::State;

class FakeScreen : public ScreenSource {
public:
    explicit FakeScreen(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool open(const MonitorInfo& monitor) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->screenOpens;
        if (state_->knobs.failScreenOpen) return false;
        width_ = monitor.right - monitor.left;
        height_ = monitor.bottom - monitor.top;
        image_.assign(size_t(width_) * size_t(height_) * 4, 0x80);
        delivered_ = false;
        return true;
    }
    int grab(int timeoutMs) override {
        FakeDesktop::Knobs knobs;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->knobs.failGrabs > 0) {
                --state_->knobs.failGrabs;
                return -1;
            }
            knobs = state_->knobs;
        }
        // A fresh capture always has its first picture; a still screen nothing after that.
        if (!knobs.screenChanges && delivered_) {
            sleepMs(timeoutMs);
            return 0;
        }
        delivered_ = true;
        sleepMs(std::min(knobs.grabDelayMs, timeoutMs));
        ++changes_;
        if (!image_.empty()) image_[0] = uint8_t(changes_);
        cost_ = {cost_.copies + 1, cost_.copyNs + 2'000'000, cost_.checkNs + 500'000};
        return 1;
    }
    GrabCost takeGrabCost() override { return std::exchange(cost_, GrabCost{}); }
    bool mapFrame() override { return !image_.empty(); }
    void unmapFrame() override {}
    const uint8_t* pixels() const override { return image_.data(); }
    int pitch() const override { return width_ * 4; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    bool gdiMode() const override { return true; }
    void close() override { image_.clear(); }

private:
    std::shared_ptr<State> state_;
    Bytes image_;
    int width_ = 0, height_ = 0;
    uint32_t changes_ = 0;
    GrabCost cost_;  // 2 ms to copy and 0.5 ms to check each new picture
    bool delivered_ = false;
};

void appendNal(Bytes& out, std::initializer_list<uint8_t> nal) {
    for (uint8_t b : {0, 0, 0, 1}) out.push_back(b);
    out.insert(out.end(), nal);
}

class FakeEncoder : public PictureEncoder {
public:
    explicit FakeEncoder(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool open(int width, int height, int fps, uint32_t bitrate) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->opens.push_back({width, height, fps, bitrate});
        open_ = false;
        const int max = state_->knobs.maxEncoderWidth;
        if (max > 0 && width > max) return false;
        open_ = true;
        width_ = width;
        height_ = height;
        fps_ = fps;
        pictures_ = 0;
        held_.clear();
        return true;
    }
    bool encode(const uint8_t*, bool forceKeyFrame, Bytes& out, bool& keyFrame) override {
        out.clear();
        keyFrame = false;
        FakeDesktop::Knobs knobs;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->forceFlags.push_back(forceKeyFrame);
            if (state_->knobs.failEncodes > 0) {
                --state_->knobs.failEncodes;
                return false;
            }
            knobs = state_->knobs;
        }
        if (!open_) return false;
        const uint32_t n = ++pictures_;
        const bool key = n == 1 || (forceKeyFrame && !knobs.ignoreKeyRequest);
        Bytes picture;
        if (key) {
            appendNal(picture, {0x67, uint8_t(width_ >> 8), uint8_t(width_), uint8_t(height_ >> 8), uint8_t(height_)});
            appendNal(picture, {0x68, uint8_t(fps_)});
        }
        appendNal(picture,
                  {uint8_t(key ? 0x65 : 0x41), uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        if (knobs.holdBack) std::swap(picture, held_);
        out = std::move(picture);
        keyFrame = out.size() > 4 && (out[4] & 0x1F) == 7;  // a key picture starts with its SPS
        return true;
    }
    void setBitrate(uint32_t bitsPerSecond) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->bitrates.push_back(bitsPerSecond);
    }
    void close() override { open_ = false; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    std::string name() const override { return "fake"; }

private:
    std::shared_ptr<State> state_;
    bool open_ = false;
    int width_ = 0, height_ = 0, fps_ = 0;
    uint32_t pictures_ = 0;
    Bytes held_;
};

class FakePointer : public PointerSource {
public:
    bool poll(Bytes& out) override {
        if (sent_) return false;
        sent_ = true;
        out = Bytes(16, 0);  // one shape, at the first poll
        return true;
    }

private:
    bool sent_ = false;
};

class FakeChat : public ChatBox {
public:
    explicit FakeChat(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void show() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->chatShows;
    }
    void received(const std::string& text) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->chatLines.push_back(text);
    }
    void addNote(const std::string& text) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->chatNotes.push_back(text);
    }

private:
    std::shared_ptr<State> state_;
};

class FakeSound : public SoundSource {
public:
    explicit FakeSound(std::shared_ptr<State> state) : state_(std::move(state)) {}
    ~FakeSound() override { stop(); }
    void start(FormatSink format, FrameSink frame) override {
        stop();
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->soundStarts;
            state_->soundRunning = true;
        }
        if (format) format("{\"codec\":\"aac\",\"rate\":48000,\"ch\":2,\"asc\":\"EZA=\"}");
        if (frame) frame({0x21, 0x10, 0x04});
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->soundRunning) return;
        state_->soundRunning = false;
        ++state_->soundStops;
    }

private:
    std::shared_ptr<State> state_;
};

}  // namespace

std::optional<FakePicture> readFakePicture(ByteSpan payload) {
    if (payload.size() < 5) return std::nullopt;
    FakePicture p;
    for (size_t at = 5; at + 4 <= payload.size();) {
        const uint32_t length = loadBe32(payload.data() + at);
        at += 4;
        if (length == 0 || at + length > payload.size()) return std::nullopt;
        const uint8_t type = payload[at] & 0x1F;
        if ((type == 5 || type == 1) && length >= 5) {
            p.key = type == 5;
            p.number = loadBe32(payload.data() + at + 1);
            return p;
        }
        at += length;
    }
    return std::nullopt;
}

FakeDesktop::FakeDesktop() : state_(std::make_shared<State>()) {
    MonitorInfo m;
    m.right = 320;
    m.bottom = 240;
    m.primary = true;
    state_->monitors.push_back(m);
}

std::unique_lock<std::mutex> FakeDesktop::locked() const { return std::unique_lock<std::mutex>(state_->mutex); }

void FakeDesktop::setMonitors(std::vector<MonitorInfo> monitors) {
    auto lock = locked();
    for (size_t i = 0; i < monitors.size(); ++i) monitors[i].index = uint32_t(i);
    state_->monitors = std::move(monitors);
}
void FakeDesktop::setWindow(uint32_t id, const WindowState& state) {
    auto lock = locked();
    state_->windows[id] = state;
}
void FakeDesktop::removeWindow(uint32_t id) {
    auto lock = locked();
    state_->windows.erase(id);
}
void FakeDesktop::setCaret(std::optional<ScreenRect> caret) {
    auto lock = locked();
    state_->caret = caret;
}
void FakeDesktop::setKnobs(const Knobs& knobs) {
    auto lock = locked();
    state_->knobs = knobs;
}
FakeDesktop::Knobs FakeDesktop::knobs() {
    auto lock = locked();
    return state_->knobs;
}
void FakeDesktop::setClipboardFiles(std::vector<std::wstring> files) {
    auto lock = locked();
    state_->clipboardFiles = std::move(files);
}
void FakeDesktop::setFolders(bool lists, std::function<std::string(const std::string&)> list,
                             std::vector<std::string> writable) {
    auto lock = locked();
    state_->listsFolders = lists;
    state_->listFolder = std::move(list);
    state_->writable = std::move(writable);
}
void FakeDesktop::setCatalogueDelayMs(int ms) {
    auto lock = locked();
    state_->catalogueDelayMs = ms;
}
std::vector<FakeDesktop::EncoderOpen> FakeDesktop::encoderOpens() {
    auto lock = locked();
    return state_->opens;
}
std::vector<uint32_t> FakeDesktop::bitrates() {
    auto lock = locked();
    return state_->bitrates;
}
std::vector<bool> FakeDesktop::encodeForceFlags() {
    auto lock = locked();
    return state_->forceFlags;
}
int FakeDesktop::screenOpens() {
    auto lock = locked();
    return state_->screenOpens;
}
std::vector<uint32_t> FakeDesktop::broughtToFront() {
    auto lock = locked();
    return state_->front;
}
std::vector<uint32_t> FakeDesktop::restored() {
    auto lock = locked();
    return state_->restored;
}
int FakeDesktop::appListsSent() {
    auto lock = locked();
    return state_->appLists;
}
int FakeDesktop::catalogueThreadsAtOnce() {
    auto lock = locked();
    return state_->catalogueMost;
}
std::vector<std::string> FakeDesktop::launches() {
    auto lock = locked();
    return state_->launches;
}
bool FakeDesktop::curtain() {
    auto lock = locked();
    return state_->curtain;
}
std::vector<bool> FakeDesktop::curtainSets() {
    auto lock = locked();
    return state_->curtainSets;
}
void FakeDesktop::localCurtainRelease() {
    std::function<void()> release;
    {
        auto lock = locked();
        state_->curtain = false;
        release = state_->curtainRelease;
    }
    if (release) release();
}
int FakeDesktop::clipboardListeners() {
    auto lock = locked();
    return int(state_->listeners.size());
}
void FakeDesktop::clipboardChanged(const Bytes& payload) {
    auto lock = locked();  // listeners run under the clipboard's lock
    for (auto& [id, listener] : state_->listeners) listener(payload);
}
std::vector<Bytes> FakeDesktop::appliedClipboard() {
    auto lock = locked();
    return state_->applied;
}
std::vector<std::string> FakeDesktop::chatLines() {
    auto lock = locked();
    return state_->chatLines;
}
std::vector<std::string> FakeDesktop::chatNotes() {
    auto lock = locked();
    return state_->chatNotes;
}
int FakeDesktop::chatShows() {
    auto lock = locked();
    return state_->chatShows;
}
void FakeDesktop::typeChatLine(const std::string& line) {
    std::function<void(const std::string&)> send;
    {
        auto lock = locked();
        send = state_->chatSend;
    }
    if (send) send(line);
}
int FakeDesktop::soundStarts() {
    auto lock = locked();
    return state_->soundStarts;
}
int FakeDesktop::soundStops() {
    auto lock = locked();
    return state_->soundStops;
}
bool FakeDesktop::soundRunning() {
    auto lock = locked();
    return state_->soundRunning;
}
int FakeDesktop::captureThreads() {
    auto lock = locked();
    return state_->captureThreads;
}

std::unique_ptr<InputBackend> FakeDesktop::inputBackend() { return input.backend(); }
std::vector<MonitorInfo> FakeDesktop::monitors() {
    auto lock = locked();
    return state_->monitors;
}
WindowState FakeDesktop::windowState(uint32_t window) {
    auto lock = locked();
    auto it = state_->windows.find(window);
    return it == state_->windows.end() ? WindowState{} : it->second;
}
void FakeDesktop::restoreWindow(uint32_t window) {
    auto lock = locked();
    state_->restored.push_back(window);
    auto it = state_->windows.find(window);
    if (it != state_->windows.end()) it->second.minimised = false;
}
Json FakeDesktop::windowEntry(uint32_t window, double scale) {
    auto lock = locked();
    auto it = state_->windows.find(window);
    if (it == state_->windows.end() || !it->second.bounds) return Json();
    WindowInfo info;
    info.handle = window;
    info.title = "창 " + std::to_string(window);
    info.bounds = *it->second.bounds;
    return windowJson(info, scale);
}
bool FakeDesktop::bringToFront(uint32_t window) {
    auto lock = locked();
    if (!state_->windows.count(window)) return false;
    state_->front.push_back(window);
    return true;
}
std::optional<ScreenRect> FakeDesktop::caretRect() {
    auto lock = locked();
    return state_->caret;
}
Json FakeDesktop::wakeTargets() {
    Json target;
    target.set("mac", "aa:bb:cc:dd:ee:ff");
    target.set("bcast", "192.168.1.255");
    Json list;
    list.tag = Json::kArray;
    list.push(std::move(target));
    return list;
}
void FakeDesktop::captureThreadStarts() {
    auto lock = locked();
    ++state_->captureThreads;
}
void FakeDesktop::captureThreadEnds() {
    auto lock = locked();
    --state_->captureThreads;
}
std::unique_ptr<ScreenSource> FakeDesktop::screenSource() { return std::make_unique<FakeScreen>(state_); }
std::unique_ptr<PictureEncoder> FakeDesktop::pictureEncoder() { return std::make_unique<FakeEncoder>(state_); }
std::unique_ptr<PointerSource> FakeDesktop::pointerSource() { return std::make_unique<FakePointer>(); }

void FakeDesktop::sendAppList(CatalogueSession& session) {
    int delay;
    {
        auto lock = locked();
        ++state_->appLists;
        state_->catalogueMost = std::max(state_->catalogueMost, ++state_->catalogueRunning);
        delay = state_->catalogueDelayMs;
    }
    sleepMs(delay);
    session.send(MsgType::AppList, catalogueReply({}, {}, {}, session.launching()).dump());
    auto lock = locked();
    --state_->catalogueRunning;
}
void FakeDesktop::setLaunchHook(std::function<void(const std::string& id)> hook) {
    auto lock = locked();
    state_->launchHook = std::move(hook);
}

void FakeDesktop::launchFromCatalogue(CatalogueSession& session, const std::string& id) {
    std::function<void(const std::string&)> hook;
    {
        auto lock = locked();
        state_->launches.push_back(id);
        hook = state_->launchHook;
    }
    if (hook) hook(id);
    session.setLaunching("메모장");
    sendAppList(session);
    session.setLaunching("");
    session.streamWindow(77);
    sendAppList(session);
}
bool FakeDesktop::curtainUp() {
    auto lock = locked();
    return state_->curtain;
}
void FakeDesktop::setCurtain(bool up) {
    auto lock = locked();
    state_->curtain = up;
    state_->curtainSets.push_back(up);
}
void FakeDesktop::setCurtainRelease(std::function<void()> callback) {
    auto lock = locked();
    state_->curtainRelease = std::move(callback);
}
int FakeDesktop::addClipboardListener(std::function<void(const Bytes&)> listener) {
    auto lock = locked();
    const int id = state_->nextListener++;
    state_->listeners[id] = std::move(listener);
    return id;
}
void FakeDesktop::removeClipboardListener(int id) {
    auto lock = locked();
    state_->listeners.erase(id);
}
void FakeDesktop::applyClipboard(ByteSpan payload) {
    auto lock = locked();
    state_->applied.emplace_back(payload.begin(), payload.end());
}
std::unique_ptr<ChatBox> FakeDesktop::chat(const std::string&, std::function<void(const std::string&)> send) {
    auto lock = locked();
    state_->chatSend = std::move(send);
    return std::make_unique<FakeChat>(state_);
}
std::unique_ptr<SoundSource> FakeDesktop::soundSource() { return std::make_unique<FakeSound>(state_); }
std::vector<std::wstring> FakeDesktop::clipboardFiles() {
    auto lock = locked();
    return state_->clipboardFiles;
}
bool FakeDesktop::listsFolders() {
    auto lock = locked();
    return state_->listsFolders;
}
std::string FakeDesktop::listFolder(const std::string& path) {
    std::function<std::string(const std::string&)> list;
    {
        auto lock = locked();
        list = state_->listFolder;
    }
    return list ? list(path) : std::string();
}
bool FakeDesktop::folderWritable(const std::string& path, std::wstring& folder) {
    auto lock = locked();
    if (std::find(state_->writable.begin(), state_->writable.end(), path) == state_->writable.end()) return false;
    folder = wideFromUtf8(path);
    return true;
}
