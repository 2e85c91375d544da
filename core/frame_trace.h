// A diagnostic trace of pictures, for measuring capture-to-present latency: the host writes
// "capture <frame number> <nanos>" for each picture it sends, the viewer "present <frame number>
// <nanos>" right after showing one; nanos is nowNanos, which two programs on one machine share, so
// the two files join by frame number. Off unless TAVREL_FRAME_TRACE names a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/util.h"

inline constexpr const char* kFrameTraceVariable = "TAVREL_FRAME_TRACE";
// A trace never grows past this many lines (a few MB): later pictures are not traced.
inline constexpr size_t kFrameTraceLineLimit = 100'000;
// Lines wait in memory until this much has gathered or this long has passed since the last write,
// so the capture loop seldom waits for the disk and a reader sees lines within a moment.
inline constexpr size_t kFrameTraceFlushBytes = 16 * 1024;
inline constexpr int64_t kFrameTraceFlushNanos = 250'000'000;

class FrameTrace {
public:
    // Takes whole lines, in the order recorded, from one caller at a time; false when they could
    // not be written, which ends the trace.
    using Writer = std::function<bool(std::string_view lines)>;

    explicit FrameTrace(Writer writer, size_t lineLimit = kFrameTraceLineLimit,
                        std::function<int64_t()> clock = nowNanos);
    ~FrameTrace();  // writes what still waits
    FrameTrace(const FrameTrace&) = delete;
    FrameTrace& operator=(const FrameTrace&) = delete;

    // Appends "<event> <frameNumber> <nanos>\n"; nothing once lineLimit lines were recorded or a
    // write failed. Any thread. The caller writes when a write is due, unless another thread is
    // writing: then the lines wait for the next one.
    void record(std::string_view event, uint32_t frameNumber, int64_t nanos);
    // Writes what waits (waiting for a write under way).
    void flush();

private:
    void writeOut(std::unique_lock<std::mutex>& lock);

    Writer writer_;
    const size_t lineLimit_;
    std::function<int64_t()> clock_;
    std::mutex mutex_;       // the fields below
    std::mutex writeMutex_;  // one write at a time, taken under mutex_ so that writes keep their order
    std::string buffer_;
    size_t lines_ = 0;
    int64_t lastWrite_;
    bool failed_ = false;
};

// A trace appending to the file at `path` (UTF-8); null when the file cannot be opened.
std::unique_ptr<FrameTrace> openFrameTrace(const std::string& path);

// The process's trace: the file TAVREL_FRAME_TRACE names, read at the first call; null when the
// variable is unset or empty or the file cannot be opened. Never destroyed: what waits at exit (at
// most kFrameTraceFlushNanos of lines) is lost.
FrameTrace* frameTrace();

// The variable's value as UTF-8, "" when unset (frame_trace_win.cpp, frame_trace_posix.cpp).
std::string frameTraceSetting();
