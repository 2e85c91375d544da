// ClientSession's decode-and-render loop: it takes the video queue's stream headers and frames,
// decodes them, shows the pictures in the video window and acknowledges each frame.
#include "viewer/session.h"

#include <chrono>
#include <map>

namespace {

// How long a new render loop waits for an earlier one to let go of the same window, and how often
// a renderer that could not start is tried again.
constexpr auto kWindowHandOverWait = std::chrono::milliseconds(1000);
constexpr int64_t kRendererRetryNanos = 1'000'000'000;

// The windows whose renderer a render loop holds. After a reconnect the new session's loop may
// start while the old one still holds its swap chain on the same video window.
class WindowClaims {
public:
    void acquire(void* window) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kWindowHandOverWait, [&] { return held_[window] == 0; });
        ++held_[window];
    }
    void release(void* window) {
        {
            std::lock_guard lock(mutex_);
            if (--held_[window] <= 0) held_.erase(window);
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<void*, int> held_;
};

WindowClaims& windowClaims() {
    static WindowClaims* claims = new WindowClaims;  // render threads are detached
    return *claims;
}

// What one render loop owns, given up in this order when it ends: decoder, renderer, the claim on
// the window, then the thread's scope.
struct RenderTools {
    std::shared_ptr<void> scope;
    void* window = nullptr;
    std::unique_ptr<VideoRendererPort> renderer;
    std::unique_ptr<VideoDecoderPort> decoder;

    ~RenderTools() {
        try {
            if (decoder) decoder->close();
        } catch (...) {
        }
        try {
            if (renderer) renderer->release();
        } catch (...) {
        }
        decoder.reset();
        renderer.reset();
        if (window) windowClaims().release(window);
    }
};

}  // namespace

void ClientSession::renderLoop() {
    try {
        renderFrames();
    } catch (...) {
        // A decoder or renderer that fails in a way of its own ends the session with its text.
        try {
            finish(exceptionText());
        } catch (...) {
        }
    }
}

void ClientSession::renderFrames() {
    RenderTools tools;
    tools.scope = devices_->renderThreadScope();
    tools.renderer = devices_->makeRenderer();
    bool ready = false;
    int64_t lastInit = 0;
    if (videoWindow) {
        windowClaims().acquire(videoWindow);
        tools.window = videoWindow;
        ready = tools.renderer->init(videoWindow);
        lastInit = now();
    }
    tools.decoder = devices_->makeDecoder(hostOs() == "mac");

    bool produced = false;
    FrameTrace* const trace = frameTrace_;
    const std::function<void(const DecodedFrame&)> onPicture = [&](const DecodedFrame& picture) {
        produced = true;
        if (!ready) return;
        tools.renderer->upload(picture);
        tools.renderer->present();
        // The decoder tags each picture with its frame's number; 0: it could not tell which. The
        // steady clock, not the session's: the host's trace is on it.
        if (trace && picture.tag != 0) trace->record("present", picture.tag, nowNanos());
    };

    while (!stop.load()) {
        std::optional<ChannelMessage> message;
        {
            std::unique_lock lock(queueMutex);
            queueCv.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return stop.load() || redraw.load() || !videoQueue.empty(); });
            if (!videoQueue.empty()) {
                message = std::move(videoQueue.front());
                videoQueue.pop_front();
                queuedBytes_ -= std::min(queuedBytes_, message->payload.size());
            }
        }
        if (stop.load()) break;
        if (redraw.exchange(false) && ready) {
            tools.renderer->resizeIfNeeded();
            tools.renderer->present();
        }
        if (!message) continue;

        if (message->type == uint8_t(MsgType::StreamHeader)) {
            if (!tools.decoder->configure(message->payload)) requestKeyFrame();
            continue;
        }
        if (message->type != uint8_t(MsgType::VideoFrame)) continue;
        VideoFrameMsg frame;
        try {
            frame = VideoFrameMsg::decode(message->payload);
        } catch (const ProtoError&) {
            continue;  // shorter than its header: dropped without an acknowledgement
        }
        if (!ready && videoWindow && now() - lastInit >= kRendererRetryNanos) {
            // A renderer that could not start (the window still held by the session before
            // this one, a device that was busy) gets another chance.
            tools.renderer->release();
            ready = tools.renderer->init(videoWindow);
            lastInit = now();
        }
        produced = false;
        const bool ok = tools.decoder->decode(frame.accessUnit, frame.keyFrame, frame.frameNumber, onPicture);
        send(MsgType::FrameAck, encodeU32(frame.frameNumber));
        {
            std::lock_guard lock(statsMutex);
            frames += 1;
            bytes += int64_t(message->payload.size());
        }
        if (produced && picturesShown.fetch_add(1) == 0 && onFirstPicture) onFirstPicture();
        if (!ok) requestKeyFrame();
    }
}
