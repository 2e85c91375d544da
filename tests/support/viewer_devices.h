// Recorders in place of a viewer session's decoder, renderer, sound player and clipboard monitor:
// every call is logged in order (with the window a renderer was given), decode results follow a
// script, and a decode can be held until the test lets it go. Also a clock the test moves.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "viewer/devices.h"

// A clock for a session: starts well away from 0 and moves only when told.
class TestClock {
public:
    std::function<int64_t()> fn() {
        return [this] { return now.load(); };
    }
    void advanceMs(int64_t ms) { now += ms * 1'000'000; }
    std::atomic<int64_t> now{1'000'000'000'000};
};

// One scripted decode: its result, how many pictures it hands out first, or an exception.
struct DecodeStep {
    bool ok = true;
    int pictures = 1;
    bool throws = false;
};

class RecordingDevices : public ViewerDevices, public ClipboardPort {
public:
    // ---- script ----
    std::deque<DecodeStep> decodes;   // consumed one per decode; then `decodeDefault`
    DecodeStep decodeDefault;
    bool configureResult = true;
    std::deque<bool> inits;           // renderer init results, one per init; then true

    // ---- the log: "decoder", "configure", "decode", "close", "init", "upload", "present",
    // "resize", "release", "scope-begin", "scope-end"; each with the window of its loop ----
    struct Call {
        std::string what;
        void* window = nullptr;
        Bytes data;            // configure: the header; decode: the access unit
        bool flag = false;     // decoder: the full-range default; decode: the key flag
    };
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t count(const std::string& what) {
        size_t n = 0;
        for (const Call& c : calls())
            if (c.what == what) ++n;
        return n;
    }
    bool waitCount(const std::string& what, size_t n, int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t seen = 0;
            for (const Call& c : calls_)
                if (c.what == what) ++seen;
            return seen >= n;
        });
    }

    // ---- holding decodes ----
    void holdDecodes() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void releaseDecodes() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    int decodesWaiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

    // ---- sound ----
    // Each format the player got, as "rate/channels".
    std::vector<std::string> formats() {
        std::lock_guard lock(mutex_);
        return formats_;
    }
    std::vector<Bytes> audioFrames() {
        std::lock_guard lock(mutex_);
        return audioFrames_;
    }
    int soundStops() {
        std::lock_guard lock(mutex_);
        return soundStops_;
    }

    // ---- clipboard ----
    int addListener(Listener listener) override {
        if (addDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(addDelayMs));
        std::lock_guard lock(clipboardMutex_);
        listeners_[nextId_] = std::move(listener);
        return nextId_++;
    }
    void removeListener(int id) override {
        std::lock_guard lock(clipboardMutex_);
        listeners_.erase(id);
    }
    void applyRemote(ByteSpan payload) override {
        std::lock_guard lock(mutex_);
        applied_.emplace_back(payload.begin(), payload.end());
    }
    // A local clipboard change, told to every listener under the monitor's lock as the monitor does.
    void change(const Bytes& payload) {
        std::lock_guard lock(clipboardMutex_);
        for (auto& [id, listener] : listeners_) listener(payload);
    }
    size_t listeners() {
        std::lock_guard lock(clipboardMutex_);
        return listeners_.size();
    }
    std::vector<Bytes> applied() {
        std::lock_guard lock(mutex_);
        return applied_;
    }
    int addDelayMs = 0;  // a monitor slow to register a listener

    // ---- ViewerDevices ----
    std::shared_ptr<void> renderThreadScope() override {
        log("scope-begin");
        return std::shared_ptr<void>(nullptr, [this](void*) { log("scope-end"); });
    }
    std::unique_ptr<VideoDecoderPort> makeDecoder(bool fullRangeDefault) override {
        log("decoder", nullptr, {}, fullRangeDefault);
        return std::make_unique<Decoder>(*this);
    }
    std::unique_ptr<VideoRendererPort> makeRenderer() override { return std::make_unique<Renderer>(*this); }
    std::unique_ptr<SoundPort> makeSound() override { return std::make_unique<Sound>(*this); }
    ClipboardPort& clipboard() override { return *this; }

private:
    void log(std::string what, void* window = nullptr, Bytes data = {}, bool flag = false) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(Call{std::move(what), window, std::move(data), flag});
        }
        changed_.notify_all();
    }

    class Decoder : public VideoDecoderPort {
    public:
        explicit Decoder(RecordingDevices& d) : d_(d) {}
        bool configure(const Bytes& header) override {
            d_.log("configure", nullptr, header);
            return d_.configureResult;
        }
        bool decode(ByteSpan data, bool key, uint32_t tag,
                    const std::function<void(const DecodedFrame&)>& onPicture) override {
            DecodeStep step;
            {
                std::unique_lock lock(d_.mutex_);
                ++d_.waiting_;
                d_.changed_.notify_all();
                d_.changed_.wait(lock, [&] { return !d_.held_; });
                --d_.waiting_;
                if (!d_.decodes.empty()) {
                    step = d_.decodes.front();
                    d_.decodes.pop_front();
                } else {
                    step = d_.decodeDefault;
                }
            }
            d_.log("decode", nullptr, Bytes(data.begin(), data.end()), key);
            if (step.throws) throw std::runtime_error("디코더 고장");
            static const uint8_t planes[2 * 2 + 2] = {16, 16, 16, 16, 128, 128};
            DecodedFrame picture;
            picture.y = planes;
            picture.uv = planes + 4;
            picture.pitch = 2;
            picture.width = 2;
            picture.height = 2;
            picture.tag = tag;
            for (int i = 0; i < step.pictures; ++i) onPicture(picture);
            return step.ok;
        }
        void close() override { d_.log("close"); }

    private:
        RecordingDevices& d_;
    };

    class Renderer : public VideoRendererPort {
    public:
        explicit Renderer(RecordingDevices& d) : d_(d) {}
        bool init(void* window) override {
            window_ = window;
            d_.log("init", window_);
            std::lock_guard lock(d_.mutex_);
            if (d_.inits.empty()) return true;
            const bool ok = d_.inits.front();
            d_.inits.pop_front();
            return ok;
        }
        void upload(const DecodedFrame&) override { d_.log("upload", window_); }
        void present() override { d_.log("present", window_); }
        void resizeIfNeeded() override { d_.log("resize", window_); }
        void release() override { d_.log("release", window_); }

    private:
        RecordingDevices& d_;
        void* window_ = nullptr;
    };

    class Sound : public SoundPort {
    public:
        explicit Sound(RecordingDevices& d) : d_(d) {}
        void setFormat(const AudioFormat& format) override {
            std::lock_guard lock(d_.mutex_);
            d_.formats_.push_back(std::to_string(format.rate) + "/" + std::to_string(format.channels));
        }
        void playFrame(const Bytes& frame) override {
            std::lock_guard lock(d_.mutex_);
            d_.audioFrames_.push_back(frame);
        }
        void stop() override {
            std::lock_guard lock(d_.mutex_);
            ++d_.soundStops_;
        }

    private:
        RecordingDevices& d_;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    bool held_ = false;
    int waiting_ = 0;
    std::vector<std::string> formats_;
    std::vector<Bytes> audioFrames_;
    int soundStops_ = 0;
    std::vector<Bytes> applied_;

    std::mutex clipboardMutex_;  // the monitor's lock
    std::map<int, Listener> listeners_;
    int nextId_ = 1;
};
