// An input backend that accepts and records every record, for code that injects through its own
// InputInjector. Safe to share between the injecting thread and the test.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "host/input.h"

class RecordingInput {
public:
    // A backend for one injector; all of them record here.
    std::unique_ptr<InputBackend> backend() { return std::make_unique<Backend>(*this); }
    std::function<std::unique_ptr<InputBackend>()> factory() {
        return [this] { return backend(); };
    }

    std::vector<InputRecord> records() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

private:
    class Backend : public InputBackend {
    public:
        explicit Backend(RecordingInput& owner) : owner_(owner) {}
        size_t send(std::span<const InputRecord> records) override {
            std::lock_guard lock(owner_.mutex_);
            owner_.records_.insert(owner_.records_.end(), records.begin(), records.end());
            return records.size();
        }
        uint32_t lastError() override { return 0; }
        VirtualScreen virtualScreen() override { return {0, 0, 1920, 1080}; }
        void lockWorkStation() override {}

    private:
        RecordingInput& owner_;
    };

    std::mutex mutex_;
    std::vector<InputRecord> records_;
};

// The key records a press and release of a scan-coded key give.
inline std::vector<InputRecord> scanKeyTap(uint16_t scan) {
    return {InputRecord::key(0, scan, InputRecord::kKeyScanCode),
            InputRecord::key(0, scan, InputRecord::kKeyScanCode | InputRecord::kKeyUp)};
}
// The records typing the characters of an ASCII text gives.
inline std::vector<InputRecord> typedAscii(const std::string& text) {
    std::vector<InputRecord> out;
    for (unsigned char c : text) {
        out.push_back(InputRecord::key(0, c, InputRecord::kKeyUnicode));
        out.push_back(InputRecord::key(0, c, InputRecord::kKeyUnicode | InputRecord::kKeyUp));
    }
    return out;
}
