// The host session's life: construction, start and close, the threads, the outbox and the
// workers, the status poller and the factory. The viewer's messages are handled in
// session_dispatch.cpp, session_capture.cpp and session_files.cpp.
#include "host/session.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "core/config/keys.h"
#include "core/frame_trace.h"
#include "files/fileio.h"
#include "files/status.h"
#include "files/transfer_messages.h"
#include "host/history.h"
#include "host/hooks.h"
#include "host/lock.h"

namespace {

const char* const kFileSenderDefaultPeer = "원격 컴퓨터";
const char* const kChatEnded = "연결이 끊겼습니다";
const char* const kChatNotSent = "보내지 못했습니다: ";
// Batches the viewer may have waiting behind the one being sent: enough for a few requests in a
// row, while one that repeats its request without answering cannot make the host hold them all.
constexpr size_t kMostWaitingBatches = 4;

constexpr int kSleepSliceMs = 100;

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
      admitted_(std::move(options.admitted)),
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
    sender_.maxWaiting = kMostWaitingBatches;
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
        // A transfer asked for from here on sees the stop flag and starts nothing. Incoming files
        // are only stopped here, never waited for: a write under way may hang on a stalled share.
        // The receive thread, which writes them, drops them once it leaves.
        std::lock_guard<std::mutex> lock(filesMutex_);
        receiver_.stop();
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

bool HostSession::slowJobsRunning() const {
    for (const std::shared_ptr<Worker>& worker : {folderWorker_, powerWorker_, launchWorker_}) {
        std::lock_guard<std::mutex> lock(worker->mutex);
        if (worker->running) return true;
    }
    return false;
}

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
        stopTransfersIfSwitchedOff();
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
    receiver_.abortAll();
    close();
}

// ---- Input ----

void HostSession::releaseInput() {
    std::lock_guard<std::mutex> lock(inputMutex_);
    translator_.releaseAll();
    injector_.releaseAll();
    // Keys pressed on the sign-in screen must not stay down there either.
    for (uint16_t code : lockKeysDown_) sendLockKey(code, false);
    lockKeysDown_.clear();
}
