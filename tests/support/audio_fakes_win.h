// The sound tests' set-up: the stand-in capture and AAC encoder registered in this process, and
// what a sender hands its two sinks, collected thread-safely.
#pragma once

#include <wmcodecdsp.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/audio.h"
#include "support/class_registration_win.h"
#include "support/fake_aac_encoder_win.h"
#include "support/fake_core_audio_win.h"

// Registers the stand-in encoder for CLSID_AACMFTEncoder while it lives; every encoder made
// reports to `log`.
inline std::unique_ptr<ClassRegistration> registerFakeAacEncoder(const std::shared_ptr<FakeAacEncoderLog>& log) {
    return std::make_unique<ClassRegistration>(CLSID_AACMFTEncoder, makeFakeAacEncoderFactory(log).Get());
}

// The messages a sender sent, in order.
class SenderSinks {
public:
    void attach(AudioSender& sender) {
        sender.formatSink = [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            formats_.push_back(text);
        };
        sender.frameSink = [this](const std::vector<uint8_t>& frame) {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
        };
    }
    std::vector<std::string> formats() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return formats_;
    }
    std::vector<std::vector<uint8_t>> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    // Takes the frames that arrived since the last call.
    std::vector<std::vector<uint8_t>> takeFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<uint8_t>> taken(frames_.begin() + ptrdiff_t(taken_), frames_.end());
        taken_ = frames_.size();
        return taken;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> formats_;
    std::vector<std::vector<uint8_t>> frames_;
    size_t taken_ = 0;
};
