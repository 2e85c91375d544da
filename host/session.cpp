#include "host/session.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <system_error>
#include <thread>
#include <utility>

#include "core/config/keys.h"
#include "core/frame_trace.h"
#include "files/fileio.h"
#include "core/wire.h"
#include "files/expand.h"
#include "files/status.h"
#include "files/transfer_messages.h"
#include "host/history.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/power.h"
#include "host/wake.h"
#include "media/convert.h"
#include "media/stream.h"

namespace {

const char* const kFileSenderDefaultPeer = "원격 컴퓨터";
const char* const kChatEnded = "연결이 끊겼습니다";
const char* const kChatNotSent = "보내지 못했습니다: ";
const char* const kLocalCurtainRelease = "원격 PC 앞자리에서 화면 가리기를 풀었습니다";
const char* const kWindowNotFound = "고른 창을 찾을 수 없습니다";
const char* const kCaptureFailed = "원격 PC 의 화면을 가져올 수 없습니다. 잠금 화면이거나 화면이 꺼져 있을 수 있습니다.";
const char* const kUploadFolderRefused = "그 폴더에는 저장할 수 없어 다운로드 폴더에 둡니다";

constexpr int kSleepSliceMs = 100;

double elapsedMs(int64_t from, int64_t to) { return double(to - from) / 1e6; }

const char* onOff(bool on) { return on ? "켬" : "끔"; }

}  // namespace

// ---- State shared with other threads ----

// The clipboard listener's side: it runs on the clipboard's window thread with the clipboard's
// lock held, so it only leaves the newest payload here; a short-lived thread sends it. It holds
// the channel and the stop flag, never the session.
struct HostSession::ClipboardRelay {
    std::shared_ptr<SecureChannel> channel;
    std::shared_ptr<std::atomic<bool>> stop;
    std::mutex mutex;
    std::optional<Bytes> latest;
    bool sending = false;

    static void offer(const std::shared_ptr<ClipboardRelay>& relay, const Bytes& payload) {
        std::lock_guard<std::mutex> lock(relay->mutex);
        if (relay->stop->load()) return;
        relay->latest = payload;  // a newer copy replaces one not yet sent
        if (relay->sending) return;
        relay->sending = true;
        try {
            std::thread([relay] { relay->drain(); }).detach();
        } catch (const std::system_error& e) {
            relay->sending = false;
            relay->latest.reset();
            logLine(std::string("클립보드 보내기 실패: ") + e.what());
        }
    }

    void drain() {
        for (;;) {
            Bytes payload;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!latest || stop->load()) {
                    latest.reset();
                    sending = false;
                    return;
                }
                payload = std::move(*latest);
                latest.reset();
            }
            channel->send(uint8_t(MsgType::Clipboard), payload);
        }
    }
};

// One kind of slow request (folder listing, restart or sleep, program launch): at most one thread
// runs the jobs, in order. Only the newest request matters, so a new job replaces one still
// waiting; once stopped, waiting jobs are dropped and none starts. The thread holds the worker,
// and the jobs hold what they need.
struct HostSession::Worker {
    std::mutex mutex;
    std::optional<std::function<void()>> waiting;
    bool running = false;
    bool stopped = false;

    static void post(const std::shared_ptr<Worker>& worker, std::function<void()> job) {
        std::optional<std::function<void()>> replaced, dropped;  // destroyed outside the lock
        std::lock_guard<std::mutex> lock(worker->mutex);
        if (worker->stopped) return;
        replaced = std::move(worker->waiting);
        worker->waiting = std::move(job);
        if (worker->running) return;
        worker->running = true;
        try {
            std::thread([worker] { worker->drain(); }).detach();
        } catch (...) {
            worker->running = false;
            dropped = std::move(worker->waiting);
            worker->waiting.reset();
            throw;
        }
    }

    void stop() {
        std::optional<std::function<void()>> dropped;
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        dropped = std::move(waiting);
        waiting.reset();
    }

    void drain() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopped || !waiting) {
                    running = false;
                    return;
                }
                job = std::move(*waiting);
                waiting.reset();
            }
            try {
                job();
            } catch (const std::exception& e) {
                logLine(std::string("메시지 처리 오류: ") + e.what());
            }
        }
    }
};

// What window threads hand over (the tray's notices, typed chat lines): one thread sends it in
// order, so that no window waits for a viewer that stopped reading. Short texts only, so the
// queue is small; what does not fit is dropped, logged once per run of drops. Once stopped,
// nothing more is taken or sent. The thread holds neither the session nor the outbox: the
// outbox joins it when stopped or destroyed.
struct HostSession::Outbox {
    static constexpr size_t kMaxMessages = 64;
    static constexpr size_t kMaxBytes = 1u << 20;

    Outbox(std::shared_ptr<SecureChannel> channel, std::shared_ptr<std::atomic<bool>> stop, std::string peer)
        : channel_(std::move(channel)), stop_(std::move(stop)), peer_(std::move(peer)) {}
    ~Outbox() { stop(); }
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    bool post(MsgType type, Bytes payload) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || stop_->load()) return false;
        if (queue_.size() >= kMaxMessages || payload.size() > kMaxBytes - bytes_) {
            if (!dropping_) logLine("보낼 메시지가 너무 많이 밀려 버림 (" + peer_ + ")");
            dropping_ = true;
            return false;
        }
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error& e) {
                logLine(std::string("메시지 보내기 실패: ") + e.what());
                return false;
            }
        }
        dropping_ = false;
        bytes_ += payload.size();
        queue_.emplace_back(type, std::move(payload));
        wake_.notify_one();
        return true;
    }

    size_t waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }

    // Drops what waits and joins the thread; a send under way ends once the connection is shut.
    void stop() {
        std::thread ending;
        std::deque<std::pair<MsgType, Bytes>> dropped;  // freed outside the lock
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
            dropped.swap(queue_);
            bytes_ = 0;
            ending = std::move(thread_);
        }
        wake_.notify_all();
        if (ending.joinable()) ending.join();
    }

private:
    void run() {
        for (;;) {
            std::pair<MsgType, Bytes> next;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
                if (stopped_) return;
                next = std::move(queue_.front());
                queue_.pop_front();
                bytes_ -= next.second.size();
            }
            // A failed send has closed the connection; the receive loop ends the session.
            channel_->send(uint8_t(next.first), next.second);
        }
    }

    const std::shared_ptr<SecureChannel> channel_;
    const std::shared_ptr<std::atomic<bool>> stop_;
    const std::string peer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<MsgType, Bytes>> queue_;
    size_t bytes_ = 0;
    bool stopped_ = false;
    bool dropping_ = false;
    std::thread thread_;
};

// ---- Construction and life ----

HostSession::HostSession(std::shared_ptr<SecureChannel> channel, std::string peerName, std::string peerKey,
                         Json request, HostServer* server, HostSessionOptions options)
    : ViewerSession(std::move(channel), std::move(peerName), std::move(peerKey)),
      store_(options.store ? *options.store : configStore()),
      system_(options.system ? options.system : systemSessionSystem()),
      timing_(options.timing),
      frameTrace_(options.frameTrace ? options.frameTrace : frameTrace()),
      server_(server),
      requestJson_(std::move(request)),
      request_(SessionRequest::fromJson(requestJson_)),
      injector_(system_->inputBackend()),
      capture_(std::make_unique<CaptureState>()),
      sound_(system_->soundSource()),
      outbox_(std::make_shared<Outbox>(this->channel(), stop_, this->peerName())),
      folderWorker_(std::make_shared<Worker>()),
      powerWorker_(std::make_shared<Worker>()),
      launchWorker_(std::make_shared<Worker>()) {
    sender_.peerName = kFileSenderDefaultPeer;
    if (options.receiveFolder) receiver_.defaultFolder = options.receiveFolder;
    capture_->display = request_.display;
    capture_->quality = request_.quality;
    capture_->viewWidth = request_.viewW;
    capture_->viewHeight = request_.viewH;
    audioWish_ = request_.audio;
    translator_.setMode(request_.macKeymap() ? 1 : 0);
    translator_.output = [this](uint16_t code, bool down, bool) { injector_.key(code, down); };

    const std::vector<MonitorInfo> monitors = system_->monitors();
    if (!monitors.empty()) {
        const int index = clampDisplayIndex(request_.display, int(monitors.size()));
        std::lock_guard<std::mutex> lock(captureMutex_);
        setTargetLocked(monitorRect(monitors[size_t(index)]));
    }
}

HostSession::~HostSession() {
    // Open incoming files are dropped before the members go; the sender waits for its worker.
    receiver_.abortAll();
    sender_.cancel();
    std::lock_guard<std::mutex> lock(audioMutex_);
    if (sound_) sound_->stop();
}

void HostSession::start() {
    std::shared_ptr<HostSession> self = shared_from_this();
    const std::shared_ptr<SecureChannel> ch = channel();
    const std::string peer = peerName();

    startDetached([self] { self->statusLoop(); });

    receiver_.send = [ch](uint8_t type, const std::vector<uint8_t>& payload) { ch->send(type, payload); };
    receiver_.acceptNewBatch = [this] { return store_.get().fileTransfer; };
    receiver_.destination = [this] { return takeUploadFolder(); };
    receiver_.batchReceived = [peer](const std::wstring& path, int files, unsigned long long bytes) {
        std::string line = "파일 받음 (" + peer + "): " + utf8FromWide(path);
        if (files >= 2) line += " 외 " + std::to_string(files - 1) + "개";
        logLine(line + " " + formatSize(bytes));
    };
    sender_.send = [ch](unsigned char type, const std::vector<unsigned char>& payload) { ch->send(type, payload); };
    sender_.notify = [peer](const std::string& text) { logLine("파일 보냄 (" + peer + "): " + text); };
    sender_.peerName = peer;

    startDetached([self] { self->receiveLoop(); });

    // A wake errand only passes a wake request on: it gets no clipboard, picture or sound.
    if (wakeErrand()) {
        mediaOn_ = false;
        return;
    }
    if (clipboard) {
        auto relay = std::make_shared<ClipboardRelay>();
        relay->channel = ch;
        relay->stop = stop_;
        std::lock_guard<std::mutex> lock(clipboardMutex_);
        if (stop_->load()) return;  // closed already: close found no listener to remove
        clipboardRelay_ = relay;
        clipboardListener_ =
            system_->addClipboardListener([relay](const Bytes& payload) { ClipboardRelay::offer(relay, payload); });
    }
    startDetached([self] { self->captureLoop(); });
    if (request_.audio) setAudio(true);
}

void HostSession::startDetached(std::function<void()> body) { std::thread(std::move(body)).detach(); }

void HostSession::post(const std::shared_ptr<Worker>& worker, std::function<void()> job) {
    Worker::post(worker, std::move(job));
}

void HostSession::close() {
    if (stop_->exchange(true)) return;
    channel()->connection()->shutdown();
    {
        std::lock_guard<std::mutex> lock(clipboardMutex_);
        if (clipboardListener_ != 0) system_->removeClipboardListener(clipboardListener_);
        clipboardListener_ = 0;
    }
    for (const std::shared_ptr<Worker>& worker : {folderWorker_, powerWorker_, launchWorker_}) worker->stop();
    // What the windows posted and was not sent yet is dropped; a send under way ends with the
    // connection shut above.
    outbox_->stop();
    releaseInput();
    {
        // A transfer asked for from here on sees the stop flag and starts nothing.
        std::lock_guard<std::mutex> lock(filesMutex_);
        receiver_.abortAll();
        sender_.cancel();
    }
    {
        std::lock_guard<std::mutex> lock(audioMutex_);
        if (sound_) sound_->stop();
    }
    {
        // A curtain switch handled from here on sees the stop flag and leaves the curtain alone.
        // The curtain is the whole PC's: only the session that raised it lowers it, so that an
        // errand or a replaced session leaving does not uncover the screen of the one in use.
        std::lock_guard<std::mutex> lock(curtainMutex_);
        if (raisedCurtain_) system_->setCurtain(false);
        raisedCurtain_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(chatMutex_);
        if (chat_) chat_->addNote(kChatEnded);
    }
    if (historyId > 0) endConnectionRecord(historyId);
    if (onEnded) onEnded(this);
}

void HostSession::openChat() {
    std::lock_guard<std::mutex> lock(chatMutex_);
    if (!chat_) makeChatLocked();
    if (chat_) chat_->show();
}

bool HostSession::post(MsgType type, Bytes payload) { return outbox_->post(type, std::move(payload)); }

size_t HostSession::postedWaiting() const { return outbox_->waiting(); }

void HostSession::makeChatLocked() {
    // The window calls back on its own thread, which its destructor joins: the box outlives every
    // call, and the outbox is held here. A line that cannot go out says so in the window.
    auto box = std::make_shared<std::atomic<ChatBox*>>(nullptr);
    chat_ = system_->chat(peerName(), [outbox = outbox_, box](const std::string& line) {
        if (outbox->post(MsgType::Chat, Bytes(line.begin(), line.end()))) return;
        if (ChatBox* chat = box->load()) chat->addNote(kChatNotSent + line);
    });
    box->store(chat_.get());
}

Json HostSession::stats() const { return sessionStatsJson(*this); }

CaptureState HostSession::captureSnapshot() const {
    std::lock_guard<std::mutex> lock(captureMutex_);
    return *capture_;
}

int HostSession::shortcutMode() {
    std::lock_guard<std::mutex> lock(inputMutex_);
    return translator_.currentMode();
}

Json sessionStatsJson(const HostSession& session) {
    const CaptureState s = session.captureSnapshot();
    auto average = [&s](double total) { return s.encoded > 0 ? total / s.encoded : 0.0; };
    Json j;
    j.set("codec", Json(s.codec));
    j.set("width", Json(s.streamWidth));
    j.set("height", Json(s.streamHeight));
    j.set("framesSent", Json(s.framesSent));
    j.set("bytesSent", Json(s.bytesSent));
    j.set("keyframes", Json(s.keyFrames));
    j.set("bitrate", Json(s.bitRate));
    j.set("maxInFlight", Json(s.frames.limit()));
    j.set("rttMinMs", Json(s.frames.minRttMs()));
    j.set("convertMsAvg", Json(average(s.convertMs)));
    j.set("mapMsAvg", Json(average(s.mapMs)));
    j.set("encodeMsAvg", Json(average(s.encodeMs)));
    j.set("grabMsAvg", Json(s.grabs > 0 ? s.grabMs / s.grabs : 0.0));
    j.set("checkMsAvg", Json(s.grabs > 0 ? s.checkMs / s.grabs : 0.0));
    return j;
}

SessionFactory hostSessionFactory(HostSessionOptions options) {
    return [options](std::shared_ptr<SecureChannel> channel, const std::string& peerName, const std::string& peerKey,
                     const Json& request, HostServer* server) -> std::shared_ptr<ViewerSession> {
        return std::make_shared<HostSession>(std::move(channel), peerName, peerKey, request, server, options);
    };
}

// ---- Sending ----

void HostSession::sendMessage(MsgType type, ByteSpan payload) { channel()->send(uint8_t(type), payload); }

void HostSession::notice(const std::string& text) { sendMessage(MsgType::Notice, asBytes(text)); }

void HostSession::send(MsgType type, const std::string& payload) { sendMessage(type, asBytes(payload)); }

// ---- Threads ----

bool HostSession::sleepUnlessStopped(int ms) {
    for (int slept = 0; slept < ms; slept += kSleepSliceMs) {
        if (stop_->load()) return false;
        sleepMs(std::min(kSleepSliceMs, ms - slept));
    }
    return !stop_->load();
}

void HostSession::statusLoop() {
    int previous = kStatusUnknown;
    while (!stop_->load()) {
        const bool locked = hostHooks().desktopLocked();
        const bool curtain = system_->curtainUp();
        const int state = statusState(locked, curtain);
        if (state != previous) {
            if (newlyLocked(previous, state)) logLine("원격 화면 잠김 — 내 쪽에 알림");
            sendMessage(MsgType::Status, encodeStatus(locked, curtain));
            previous = state;
        }
        // File transfer switched off stops what is under way too, not only what is asked later.
        if (!store_.get().fileTransfer) {
            const bool sending = sender_.cancel(kFileTransferOff);
            const bool receiving = receiver_.refuseAll("파일 받기가 꺼져 있습니다");
            if (sending || receiving) logLine("파일 주고받기가 꺼져 진행 중이던 파일 전송을 멈춤 (" + peerName() + ")");
        }
        sleepUnlessStopped(timing_.statusPassMs);
    }
}

void HostSession::receiveLoop() {
    try {
        while (!stop_->load()) {
            ChannelMessage message = channel()->receive(-1);
            handle(message.type, message.payload);
            if (message.type == uint8_t(MsgType::LockLogin)) wipeSecret(message.payload.data(), message.payload.size());
        }
    } catch (...) {
        // The peer left, the channel broke or close shut it down.
    }
    // Input handled while close ran may have pressed something after close released it.
    releaseInput();
    close();
}

// ---- Input ----

void HostSession::withInput(const std::function<void()>& action) {
    std::lock_guard<std::mutex> lock(inputMutex_);
    if (stop_->load()) return;
    action();
}

void HostSession::releaseInput() {
    std::lock_guard<std::mutex> lock(inputMutex_);
    translator_.releaseAll();
    injector_.releaseAll();
    // Keys pressed on the sign-in screen must not stay down there either.
    for (uint16_t code : lockKeysDown_) sendLockKey(code, false);
    lockKeysDown_.clear();
}

void HostSession::setTargetLocked(const ScreenRect& r) {
    capture_->inputTarget = r;
    injector_.setTarget(r.left, r.top, r.right, r.bottom);
}

void HostSession::keyEvent(const KeyEvent& event) {
    withInput([&] {
        if (event.kind == 0 || event.kind == 1) {
            translator_.process(event.code, event.kind == 1, event.repeat);
        } else if (event.kind == 2) {
            if (event.code == 63) return;  // Fn has no key on the PC
            if (event.code == 57) {
                // Caps Lock reports its state, not the key: each change is one press.
                translator_.process(57, true, false);
                translator_.process(57, false, false);
                return;
            }
            translator_.process(event.code, macModifierDown(event.code, event.flags), false);
        }
    });
}

// ---- Sound ----

void HostSession::setAudio(bool on) {
    std::lock_guard<std::mutex> lock(audioMutex_);
    if (!sound_) return;
    sound_->stop();
    if (!on || stop_->load()) return;
    const std::shared_ptr<SecureChannel> ch = channel();
    sound_->start([ch](const std::string& format) { ch->send(uint8_t(MsgType::AudioFormat), asBytes(format)); },
                  [ch](const std::vector<uint8_t>& frame) { ch->send(uint8_t(MsgType::AudioFrame), frame); });
}

// ---- Dispatcher ----

void HostSession::handle(unsigned char type, const std::vector<unsigned char>& payload) {
    try {
        // What a closing session still had in hand changes nothing. (Handlers that race with
        // close check again under the lock close takes for what they change.)
        if (stop_->load()) return;
        const MsgType t = MsgType(type);
        if (wakeErrand()) {
            // An errand is admitted without a history record or a notice: it gets nothing else.
            if (t != MsgType::Ping && t != MsgType::WakeRequest) return;
        } else if (toLockScreen(t, payload)) {
            return;
        }
        dispatch(t, payload);
    } catch (const std::exception& e) {
        logLine(std::string("메시지 처리 오류: ") + e.what());
    }
}

bool HostSession::toLockScreen(MsgType type, const std::vector<unsigned char>& payload) {
    if (type != MsgType::Key && type != MsgType::TypeText) return false;
    if (!hostHooks().desktopLocked() || !hostHooks().lockAgentPresent()) return false;
    if (type == MsgType::Key) {
        const KeyEvent e = decodeKeyEvent(payload);
        if (e.kind > 2) return true;
        const bool down = e.kind == 2 ? macModifierDown(e.code, e.flags) : e.kind == 1;
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return true;  // close released what was down; nothing more goes there
        sendLockKey(e.code, down);
        auto held = std::find(lockKeysDown_.begin(), lockKeysDown_.end(), e.code);
        if (down && held == lockKeysDown_.end()) lockKeysDown_.push_back(e.code);
        if (!down && held != lockKeysDown_.end()) lockKeysDown_.erase(held);
    } else {
        const std::string text = decodeText(MsgType::TypeText, payload);
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return true;
        sendLockText(text);
    }
    return true;
}

void HostSession::dispatch(MsgType type, const std::vector<unsigned char>& payload) {
    const int64_t now = nowNanos();
    switch (type) {
    case MsgType::FrameAck: {
        const uint32_t frame = decodeU32(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.acknowledged(frame, now);
        break;
    }
    case MsgType::KeyFrameRequest: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->keyFrameRequest = true;
        break;
    }
    case MsgType::AudioSwitch: {
        const bool on = decodeSwitch(payload);
        {
            std::lock_guard<std::mutex> lock(audioMutex_);
            audioWish_ = on;
        }
        if (mediaOn_) setAudio(on);
        break;
    }
    case MsgType::Mouse: {
        const MouseEvent e = MouseEvent::decode(payload);
        withInput([&] { injector_.mouse(e.action, e.button, e.x, e.y); });
        break;
    }
    case MsgType::Wheel: {
        const WheelEvent e = WheelEvent::decode(payload);
        withInput([&] { injector_.wheel(e.dx, e.dy, e.precise); });
        break;
    }
    case MsgType::Key:
        keyEvent(decodeKeyEvent(payload));
        break;
    case MsgType::ReleaseAll:
        withInput([&] {
            translator_.releaseAll();
            injector_.releaseAll();
        });
        break;
    case MsgType::KeyCombo: {
        const std::vector<uint16_t> codes = decodeKeyCombo(payload);
        withInput([&] { injector_.combo(codes); });
        break;
    }
    case MsgType::TypeText: {
        const std::string text = decodeText(MsgType::TypeText, payload);
        withInput([&] { injector_.typeText(text); });
        break;
    }
    case MsgType::LockLogin:
        lockLogin(payload);
        break;
    case MsgType::Clipboard: {
        std::lock_guard<std::mutex> lock(clipboardMutex_);
        if (clipboard && !stop_->load()) system_->applyClipboard(payload);
        break;
    }
    case MsgType::Ping:
        sendMessage(MsgType::Pong, payload);
        break;
    case MsgType::SelectDisplay: {
        const uint8_t index = decodeU8(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->window = 0;
        capture_->display = index;
        capture_->reconfigure = true;
        capture_->notBefore = 0;
        break;
    }
    case MsgType::ViewSize: {
        const ViewSizeMsg size = ViewSizeMsg::decode(payload);
        const int w = int(std::min<uint32_t>(size.width, INT32_MAX));
        const int h = int(std::min<uint32_t>(size.height, INT32_MAX));
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (w == capture_->viewWidth && h == capture_->viewHeight) break;
        capture_->viewWidth = w;
        capture_->viewHeight = h;
        capture_->reconfigure = true;
        capture_->notBefore = now + timing_.viewSizeNs;
        break;
    }
    case MsgType::ShortcutMode: {
        const bool on = decodeSwitch(payload);
        {
            std::lock_guard<std::mutex> lock(inputMutex_);
            translator_.setMode(on && request_.os == "mac" ? 1 : 0);
        }
        logLine(std::string("단축키 맞추기 ") + onOff(on));
        break;
    }
    case MsgType::Quality: {
        const int level = decodeQuality(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        capture_->notBefore = 0;
        capture_->quality = level;
        break;
    }
    case MsgType::CurtainSwitch:
        curtainSwitch(decodeSwitch(payload));
        break;
    case MsgType::Power: {
        const uint8_t action = decodeU8(payload);
        logLine(std::string(action == 1 ? "다시 시작" : "잠자기") + " 요청 (" + peerName() + ")");
        const std::shared_ptr<SecureChannel> ch = channel();
        post(powerWorker_, [ch, action] {
            std::string failure;
            if (action == 1) failure = restartPc();
            else if (action == 2) failure = sleepPc();
            if (!failure.empty()) ch->send(uint8_t(MsgType::Notice), asBytes(failure));
        });
        break;
    }
    case MsgType::WakeRequest: {
        Json targets;
        if (!decodeWakeRequest(payload, targets)) break;
        const int sent = sendWakeOnLan(targets);
        logLine("깨우기 신호 보냄 (" + peerName() + "): " + std::to_string(sent) + "번");
        notice(sent > 0 ? "깨우기 신호를 보냈습니다" : "깨우기 신호를 보내지 못했습니다");
        break;
    }
    case MsgType::Chat:
        chatLine(decodeText(MsgType::Chat, payload));
        break;
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAbort: {
        std::lock_guard<std::mutex> lock(filesMutex_);
        if (!stop_->load()) receiver_.handle(uint8_t(type), payload);
        break;
    }
    case MsgType::FileAck:
        sender_.onAck(payload);
        break;
    case MsgType::FileSaved:
        sender_.onSaved(payload);
        break;
    case MsgType::FileRefused:
        sender_.onRefused(payload);
        break;
    case MsgType::PasteFiles:
    case MsgType::ListFolder:
    case MsgType::SendFiles:
    case MsgType::SetDownloadFolder:
        handleFiles(type, payload);
        break;
    case MsgType::ListApps:
        requestCatalogue();
        break;
    case MsgType::LaunchProgram: {
        const std::string id = decodeText(MsgType::LaunchProgram, payload);
        std::shared_ptr<HostSession> self = shared_from_this();
        post(launchWorker_, [self, id] { self->launchFromCatalogue(id); });
        break;
    }
    case MsgType::FocusWindow: {
        const uint32_t window = decodeU32(payload);
        system_->bringToFront(window);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->window = window;
        capture_->reconfigure = true;
        capture_->notBefore = now + timing_.focusNs;
        break;
    }
    default:
        break;  // not a message the host takes
    }
}

void HostSession::lockLogin(const std::vector<unsigned char>& payload) {
    std::string password = decodeText(MsgType::LockLogin, payload);
    struct Wipe {
        std::string& text;
        ~Wipe() { wipeSecret(text.data(), text.size()); }
    } wipe{password};
    HostHooks& hooks = hostHooks();
    if (!hooks.lockServiceInstalled()) {
        notice("원격 PC 에서 '잠긴 화면에서도 로그인 허용' 을 켜야 합니다");
    } else if (!hooks.desktopLocked()) {
        notice("원격 PC 화면이 잠겨 있지 않습니다");
    } else if (!hooks.lockAgentPresent()) {
        notice("원격 PC 의 잠금 도우미가 응답하지 않습니다");
    } else {
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return;  // nothing goes to the helper once the session stops
        logLine("잠긴 화면 로그인 요청 (" + peerName() + ")");
        sendLockPassword(password);
    }
}

void HostSession::curtainSwitch(bool on) {
    std::weak_ptr<HostSession> weak = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(curtainMutex_);
        // After close a late switch changes nothing: neither the curtain nor the live session's
        // release callback.
        if (stop_->load()) return;
        system_->setCurtainRelease([weak] {
            if (std::shared_ptr<HostSession> self = weak.lock())
                if (!self->stopped()) self->notice(kLocalCurtainRelease);
        });
        system_->setCurtain(on);
        raisedCurtain_ = on;
    }
    logLine(std::string("화면 가리기 ") + onOff(on) + " (" + peerName() + ")");
}

void HostSession::chatLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(chatMutex_);
    if (stop_->load()) return;  // no window opens for a session that has ended
    if (!chat_) makeChatLocked();
    if (chat_) chat_->received(text);
}

// ---- Files ----

void HostSession::handleFiles(MsgType type, const std::vector<unsigned char>& payload) {
    const bool on = store_.get().fileTransfer;
    auto refuse = [this](const char* text) { sendMessage(MsgType::FileRefused, idPayload(0, std::string(text))); };
    switch (type) {
    case MsgType::PasteFiles: {
        if (!on) return refuse(kFileTransferOff);
        std::vector<std::wstring> files = system_->clipboardFiles();
        if (files.empty()) return refuse(kNoCopiedFiles);
        std::lock_guard<std::mutex> lock(filesMutex_);
        if (!stop_->load()) sender_.enqueue(std::move(files));
        break;
    }
    case MsgType::ListFolder: {
        const std::string path = decodeText(MsgType::ListFolder, payload);
        if (!on || !system_->listsFolders()) {
            sendMessage(MsgType::FolderListing, encodeFolderListingRefusal(path));
            break;
        }
        const std::shared_ptr<SecureChannel> ch = channel();
        const std::shared_ptr<SessionSystem> system = system_;
        post(folderWorker_, [ch, system, path] {
            ch->send(uint8_t(MsgType::FolderListing), asBytes(system->listFolder(path)));
        });
        break;
    }
    case MsgType::SendFiles: {
        Json paths;
        if (!on || !decodeSendFiles(payload, paths)) return refuse(kFileTransferOff);
        std::vector<std::wstring> existing = existingPaths(paths);
        if (existing.empty()) return refuse(kNoFilesFound);
        std::lock_guard<std::mutex> lock(filesMutex_);
        if (stop_->load()) break;
        logLine("파일 보내기 요청 (" + peerName() + "): " + std::to_string(existing.size()) + "개");
        sender_.enqueue(std::move(existing));
        break;
    }
    case MsgType::SetDownloadFolder: {
        // With file transfer off no batch is taken, so there is nothing to probe or arm.
        if (!on) break;
        const std::string folder = decodeText(MsgType::SetDownloadFolder, payload);
        std::wstring wide;
        if (!system_->folderWritable(folder, wide)) {
            notice(kUploadFolderRefused);
            break;
        }
        std::lock_guard<std::mutex> lock(uploadMutex_);
        uploadFolder_ = wide;
        uploadExpiry_ = nowNanos() + timing_.uploadFolderNs;
        break;
    }
    default:
        break;
    }
}

std::wstring HostSession::takeUploadFolder() {
    std::lock_guard<std::mutex> lock(uploadMutex_);
    std::wstring folder;
    if (!uploadFolder_.empty() && nowNanos() <= uploadExpiry_) folder = uploadFolder_;
    uploadFolder_.clear();
    return folder;  // empty: the receiver's default folder
}

// ---- Catalogue ----

void HostSession::requestCatalogue() {
    std::shared_ptr<HostSession> self = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(catalogueMutex_);
        if (catalogueRunning_) {
            // The running one sends once more when it is done, so the newest state goes out.
            catalogueAgain_ = true;
            return;
        }
        catalogueRunning_ = true;
    }
    try {
        startDetached([self] {
            for (;;) {
                try {
                    self->sendAppList();
                } catch (const std::exception& e) {
                    logLine(std::string("프로그램 목록 오류: ") + e.what());
                }
                std::lock_guard<std::mutex> lock(self->catalogueMutex_);
                if (!self->catalogueAgain_ || self->stopped()) {
                    self->catalogueRunning_ = false;
                    self->catalogueAgain_ = false;
                    return;
                }
                self->catalogueAgain_ = false;
            }
        });
    } catch (...) {
        std::lock_guard<std::mutex> lock(catalogueMutex_);
        catalogueRunning_ = false;
        throw;
    }
}

void HostSession::sendAppList() { system_->sendAppList(*this); }

void HostSession::launchFromCatalogue(const std::string& id) { system_->launchFromCatalogue(*this, id); }

std::string HostSession::launching() {
    std::lock_guard<std::mutex> lock(captureMutex_);
    return capture_->launching;
}

void HostSession::setLaunching(const std::string& name) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    capture_->launching = name;
}

void HostSession::streamWindow(uint32_t handle) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    capture_->window = handle;
    capture_->reconfigure = true;
    capture_->notBefore = 0;
}

// ---- Capture-and-encode loop ----

bool HostSession::setupCapture(ScreenSource& screen, PictureEncoder& encoder, Bytes& picture) {
    const std::vector<MonitorInfo> monitors = system_->monitors();
    if (monitors.empty()) return false;

    int viewW, viewH, quality;
    size_t index;
    uint32_t window;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        viewW = capture_->viewWidth;
        viewH = capture_->viewHeight;
        index = size_t(clampDisplayIndex(capture_->display, int(monitors.size())));
        quality = capture_->quality;
        window = capture_->window;
    }
    const SetupMode mode = setupMode(request_.fps, request_.retina, quality);

    std::optional<ScreenRect> area;  // the window's part of its display
    if (window != 0) {
        WindowState state = system_->windowState(window);
        if (state.exists && state.bounds && state.minimised) {
            system_->restoreWindow(window);
            sleepMs(timing_.restoreWaitMs);
            state = system_->windowState(window);
        }
        if (!state.exists || !state.bounds) {
            {
                std::lock_guard<std::mutex> lock(captureMutex_);
                if (capture_->window == window) capture_->window = 0;
            }
            window = 0;
            notice(kWindowNotFound);
        } else {
            index = displayForWindow(*state.bounds, monitors, index);
            const ScreenRect overlap = intersect(*state.bounds, monitorRect(monitors[index]));
            if (!isEmpty(overlap)) area = overlap;
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->windowBounds = *state.bounds;
        }
    }
    const MonitorInfo& monitor = monitors[index];
    const ScreenRect display = monitorRect(monitor);
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        setTargetLocked(area ? *area : display);
    }

    const int64_t captureStart = nowNanos();
    encoder.close();
    if (!screen.open(monitor)) return false;
    const int64_t captureEnd = nowNanos();

    const StreamRegion region = streamRegion(area, display, screen.width(), screen.height());
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->region = region;
        if (window == 0) capture_->windowBounds = ScreenRect{};
        capture_->displayRect = display;
    }

    const EncoderArea wanted =
        encoderArea(region.width, region.height, mode.fullPixel, monitor.scale, viewW, viewH, quality);
    bool opened = false;
    for (int attempt = 0; attempt < kEncoderTries && !opened; ++attempt) {
        const PictureSize size = encoderTrySize(wanted, attempt);
        int rate;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            const BitRates rates = setupRates(size.width, size.height, mode.fps, quality, capture_->bitRate);
            capture_->ceiling = rates.ceiling;
            capture_->bitRate = rates.rate;
            rate = rates.rate;
        }
        opened = encoder.open(size.width, size.height, mode.fps, uint32_t(rate));
    }
    if (!opened) return false;
    const int64_t encoderEnd = nowNanos();
    logLine("캡처 준비 " + std::to_string((captureEnd - captureStart) / 1'000'000) + " ms, 인코더 준비 " +
            std::to_string((encoderEnd - captureEnd) / 1'000'000) + " ms");

    const int width = encoder.width(), height = encoder.height();
    const size_t pictureBytes = size_t(width) * size_t(height) * 3 / 2;
    if (picture.size() < pictureBytes) picture.assign(pictureBytes, 0);

    DisplayInfo info;
    info.name = store_.get().deviceName;
    for (const MonitorInfo& m : monitors) {
        const double scale = std::isfinite(m.scale) && m.scale > 0 ? m.scale : 1.0;
        DisplayEntry e;
        e.index = int(m.index);
        e.widthPx = m.right - m.left;
        e.heightPx = m.bottom - m.top;
        e.widthPt = int(std::lround(e.widthPx / scale));
        e.heightPt = int(std::lround(e.heightPx / scale));
        e.main = m.primary;
        info.displays.push_back(e);
    }
    info.current = int(index);
    info.width = width;
    info.height = height;
    info.features = hostFeatures(hostHooks().lockServiceInstalled());
    info.wake = system_->wakeTargets();
    if (window != 0) info.window = system_->windowEntry(window, monitor.scale);
    sendMessage(MsgType::DisplayInfo, info.encode());

    const std::string name = encoder.name();
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.reset();
        capture_->keyFrameRequest = true;
        capture_->streamWidth = width;
        capture_->streamHeight = height;
        capture_->codec = "H.264 (" + name + ")";
    }
    logLine(std::string(window != 0 ? "창 보내기: " : "화면 보내기: ") + "디스플레이 " + std::to_string(index) + " " +
            std::to_string(width) + "x" + std::to_string(height) + " " + std::to_string(mode.fps) + "fps " + name +
            (screen.gdiMode() ? " GDI" : ""));
    return true;
}

void HostSession::checkStreamWindow() {
    uint32_t window;
    ScreenRect atSetup, display;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        // A window picked but not yet set up is not streamed yet.
        if (capture_->window == 0 || capture_->reconfigure) return;
        window = capture_->window;
        atSetup = capture_->windowBounds;
        display = capture_->displayRect;
    }
    const WindowCheck check = checkWindow(system_->windowState(window), atSetup, display);
    switch (check.action) {
    case WindowCheck::Action::None:
        return;
    case WindowCheck::Action::Lost: {
        logLine("고른 창이 닫혔거나 최소화됨");
        notice(check.minimised ? "프로그램 창이 최소화되었습니다" : "프로그램 창이 닫혔습니다");
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            if (capture_->window == window) {
                capture_->window = 0;
                capture_->reconfigure = true;
                capture_->notBefore = 0;
            }
        }
        // The catalogue is built on a thread of its own: a shell rebuild here would stall the
        // stream, and this thread's apartment is not the catalogue's.
        requestCatalogue();
        return;
    }
    case WindowCheck::Action::Follow: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capture_->window != window) return;
        const ScreenRect& b = check.bounds;
        capture_->windowBounds = b;
        capture_->region.x = b.left - display.left;
        capture_->region.y = b.top - display.top;
        setTargetLocked(b);
        return;
    }
    case WindowCheck::Action::Reconfigure: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        capture_->notBefore = nowNanos() + timing_.windowMoveNs;
        return;
    }
    }
}

void HostSession::caretPass(CaretReports& reports) {
    std::optional<ScreenRect> field;
    if (!hostHooks().desktopLocked()) field = system_->caretRect();
    ScreenRect streamed;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        const CaptureState& c = *capture_;
        streamed.left = c.displayRect.left + c.region.x;
        streamed.top = c.displayRect.top + c.region.y;
        streamed.right = streamed.left + c.region.width;
        streamed.bottom = streamed.top + c.region.height;
    }
    if (std::optional<std::string> text = reports.next(caretReport(field, streamed)))
        sendMessage(MsgType::Caret, asBytes(*text));
}

void HostSession::rateStep(PictureEncoder& encoder, int fps) {
    int rate;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        CaptureState& c = *capture_;
        c.frames.step(nowNanos(), fps, timing_.frameExpiryNs);
        c.bitRate = steppedRate(c.bitRate, c.ceiling, c.skipped, c.quality);
        c.skipped = 0;
        rate = c.bitRate;
    }
    encoder.setBitrate(uint32_t(rate));
}

void HostSession::captureLoop() {
    system_->captureThreadStarts();
    std::unique_ptr<ScreenSource> screen = system_->screenSource();
    std::unique_ptr<PictureEncoder> encoder = system_->pictureEncoder();
    std::unique_ptr<PointerSource> pointer = system_->pointerSource();
    Bytes picture;
    CaretReports carets;
    const int fps = request_.fps;
    const int64_t frameInterval = 1'000'000'000 / fps;
    std::vector<Bytes> parameterSets;
    uint32_t frameNumber = 0;
    bool pending = false, live = false, havePicture = false;
    // When the waiting picture and the one in `picture` were grabbed, for the frame trace.
    int64_t pendingGrabbedAt = 0, pictureGrabbedAt = 0;
    FrameTrace* const trace = frameTrace_;
    int failures = 0;
    const int64_t started = nowNanos();
    int64_t lastSent = 0, lastWindowCheck = started, lastCaret = 0, lastCursor = 0, lastRateStep = started;

    while (!stop_->load()) {
        int64_t now = nowNanos();
        bool setUp = false, wait = false;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            if (capture_->reconfigure) {
                if (capture_->notBefore > now) {
                    wait = !live;  // a stream that works goes on until then
                } else {
                    capture_->reconfigure = false;
                    setUp = true;
                }
            }
        }
        if (wait) {
            sleepMs(timing_.setupWaitMs);
            continue;
        }
        if (setUp) {
            if (setupCapture(*screen, *encoder, picture)) {
                failures = 0;
                havePicture = pending = false;
                live = true;
                parameterSets.clear();  // the new encoder brings its own
            } else {
                if (failures++ == 0) {
                    logLine("화면 가져오기 실패");
                    notice(kCaptureFailed);
                }
                live = false;
                sleepUnlessStopped(timing_.setupRetryMs);
                std::lock_guard<std::mutex> lock(captureMutex_);
                capture_->reconfigure = true;
                continue;
            }
        }

        bool keyRequest;
        bool windowFull;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            keyRequest = capture_->keyFrameRequest;
            windowFull = capture_->frames.full();
        }
        const int grabbed = screen->grab(!pending ? 16 : windowFull ? 4 : 1);
        if (const GrabCost cost = screen->takeGrabCost(); cost.copies > 0) {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->grabs += cost.copies;
            capture_->grabMs += double(cost.copyNs) / 1e6;
            capture_->checkMs += double(cost.checkNs) / 1e6;
        }
        if (grabbed < 0) {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->reconfigure = true;
            capture_->notBefore = nowNanos() + timing_.grabRetryNs;
            live = false;
        } else if (grabbed == 1) {
            pendingGrabbedAt = nowNanos();
            if (pending) {
                std::lock_guard<std::mutex> lock(captureMutex_);
                ++capture_->skipped;  // the newer picture replaces the waiting one
            } else {
                pending = true;
            }
        }

        now = nowNanos();
        if (now - lastWindowCheck > timing_.windowCheckNs) {
            lastWindowCheck = now;
            checkStreamWindow();
        }
        if (now - lastCaret > timing_.caretNs) {
            lastCaret = now;
            caretPass(carets);
        }
        if (now - lastCursor > timing_.cursorNs) {
            lastCursor = now;
            Bytes shape;
            if (pointer->poll(shape)) sendMessage(MsgType::Cursor, shape);
        }
        if (now - lastRateStep > timing_.rateStepNs) {
            lastRateStep = now;
            rateStep(*encoder, fps);
        }

        const bool due = now - lastSent >= frameInterval;
        int64_t convertStart;
        if (pending) {
            if (windowFull || !due) continue;  // the picture waits; a newer grab may replace it
            convertStart = nowNanos();
            if (!screen->mapFrame()) {
                pending = false;
                continue;
            }
            StreamRegion region;
            {
                std::lock_guard<std::mutex> lock(captureMutex_);
                capture_->mapMs += elapsedMs(convertStart, nowNanos());
                region = capture_->region;
            }
            convertStart = nowNanos();  // the conversion alone: the map is reported apart
            const int imageW = screen->width(), imageH = screen->height();
            const uint8_t* src = screen->pixels();
            const int pitch = screen->pitch();
            if (regionInside(region, imageW, imageH)) {
                src += int64_t(region.y) * pitch + int64_t(region.x) * 4;
            } else {
                region = StreamRegion{0, 0, imageW, imageH};
            }
            convertBgraToNv12(src, region.width, region.height, pitch, picture.data(), encoder->width(),
                              encoder->height());
            screen->unmapFrame();
            havePicture = true;
            pictureGrabbedAt = pendingGrabbedAt;
        } else {
            // A still screen: the last picture again, as the key frame the viewer asked for.
            if (!havePicture || !keyRequest || windowFull || !due) continue;
            convertStart = nowNanos();
        }

        Bytes out;
        bool keyOut = false;
        const int64_t encodeStart = nowNanos();
        const bool encoded = encoder->encode(picture.data(), keyRequest, out, keyOut);
        const int64_t encodeEnd = nowNanos();
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->convertMs += elapsedMs(convertStart, encodeStart);
            capture_->encodeMs += elapsedMs(encodeStart, encodeEnd);
            ++capture_->encoded;
        }
        if (!encoded) {
            logLine("인코딩 실패 — 다시 시작");
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->reconfigure = true;
            continue;
        }
        // The encoder has the picture: holding its output back is no reason to feed it again.
        pending = false;
        if (out.empty()) continue;
        const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
        if (!unit.parameterSets.empty()) parameterSets = unit.parameterSets;
        if (unit.keyFrame) {
            // Only a key frame that went out answers the request: an encoder may delay or ignore it.
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->keyFrameRequest = false;
        }
        if (unit.keyFrame && !parameterSets.empty()) {
            StreamHeader header;
            header.width = uint32_t(encoder->width());
            header.height = uint32_t(encoder->height());
            header.parameterSets = parameterSets;
            sendMessage(MsgType::StreamHeader, StreamHeader::encode(header));
        }
        ++frameNumber;
        const Bytes frame = encodeVideoFrame(frameNumber, unit.keyFrame, unit.payload);
        const int64_t sentAt = nowNanos();
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->frames.sent(frameNumber, sentAt);
            ++capture_->framesSent;
            capture_->bytesSent += frame.size();
            if (unit.keyFrame) ++capture_->keyFrames;
        }
        sendMessage(MsgType::VideoFrame, frame);
        lastSent = sentAt;
        if (trace) trace->record("capture", frameNumber, pictureGrabbedAt);
    }
    encoder->close();
    screen->close();
    // Their COM objects go before the thread leaves its apartment.
    encoder.reset();
    screen.reset();
    pointer.reset();
    system_->captureThreadEnds();
}
