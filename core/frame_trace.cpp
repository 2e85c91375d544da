#include "core/frame_trace.h"

#include <charconv>
#include <utility>

FrameTrace::FrameTrace(Writer writer, size_t lineLimit, std::function<int64_t()> clock)
    : writer_(std::move(writer)), lineLimit_(lineLimit), clock_(std::move(clock)), lastWrite_(clock_()) {}

FrameTrace::~FrameTrace() { flush(); }

void FrameTrace::record(std::string_view event, uint32_t frameNumber, int64_t nanos) {
    std::unique_lock lock(mutex_);
    if (failed_ || lines_ >= lineLimit_) return;
    ++lines_;
    char digits[48];
    buffer_ += event;
    buffer_ += ' ';
    buffer_.append(digits, std::to_chars(digits, digits + sizeof digits, frameNumber).ptr);
    buffer_ += ' ';
    buffer_.append(digits, std::to_chars(digits, digits + sizeof digits, nanos).ptr);
    buffer_ += '\n';
    const bool due = lines_ == lineLimit_ || buffer_.size() >= kFrameTraceFlushBytes ||
                     clock_() - lastWrite_ >= kFrameTraceFlushNanos;
    // While another thread writes, these lines go out with a later write rather than wait for it.
    if (!due || !writeMutex_.try_lock()) return;
    writeOut(lock);
}

void FrameTrace::flush() {
    writeMutex_.lock();
    std::unique_lock lock(mutex_);
    writeOut(lock);
}

// Holds mutex_ through `lock` and writeMutex_, which it releases. Lines recorded during a write
// wait for the next one, unless the limit was reached meanwhile: then they are the last.
void FrameTrace::writeOut(std::unique_lock<std::mutex>& lock) {
    std::lock_guard writing(writeMutex_, std::adopt_lock);
    while (!buffer_.empty() && !failed_) {
        std::string out;
        out.swap(buffer_);
        lastWrite_ = clock_();
        lock.unlock();
        const bool ok = writer_(out);
        lock.lock();
        if (!ok) {
            failed_ = true;
            buffer_.clear();
        }
        if (lines_ < lineLimit_) break;
    }
}

std::unique_ptr<FrameTrace> openFrameTrace(const std::string& path) {
    std::FILE* file = openAppendFile(path);
    if (!file) return nullptr;
    std::shared_ptr<std::FILE> owned(file, [](std::FILE* f) { std::fclose(f); });
    return std::make_unique<FrameTrace>([owned](std::string_view lines) {
        return std::fwrite(lines.data(), 1, lines.size(), owned.get()) == lines.size() && std::fflush(owned.get()) == 0;
    });
}

FrameTrace* frameTrace() {
    // Threads of sessions may still record while the process exits: the trace is never destroyed.
    static FrameTrace* const trace = [] {
        const std::string path = frameTraceSetting();
        return path.empty() ? nullptr : openFrameTrace(path).release();
    }();
    return trace;
}
