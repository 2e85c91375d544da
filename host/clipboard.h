// Clipboard exchange between the two ends of a session. ClipboardSync, the one process-wide
// clipboard monitor, watches the local clipboard through a hidden window and hands each change to
// its listeners as a payload (session message 48); payloads from a peer are written into the local
// clipboard without being sent back. The bitmap conversion is portable and tested natively.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "core/util.h"

// Payload: one kind byte, then UTF-8 text without a terminator (kind 1) or a PNG file (kind 2).
constexpr uint8_t kClipboardText = 1;
constexpr uint8_t kClipboardImage = 2;
constexpr size_t kClipboardTextLimit = 0x7FFFFE;    // UTF-8 bytes
constexpr size_t kClipboardImageLimit = 0x17FFFFF;  // PNG bytes
// Pictures from a peer larger than this (what a large screen holds) are placed only as their PNG
// file, never decoded.
constexpr uint64_t kClipboardPixelLimit = uint64_t(1) << 24;

// Whether a payload from the peer is within what this side would send itself.
bool clipboardPayloadFits(ByteSpan payload);

// A picture as 32-bit BGRA pixels, rows top-down, pitch width x 4.
struct BgraImage {
    int width = 0;
    int height = 0;
    Bytes pixels;
};

// Reads a device-independent bitmap block (header, optional masks and colour table, rows):
// 24 or 32 bits per pixel, rows bottom-up for a positive height and top-down for a negative one.
// 24-bit pixels become opaque; 32-bit pixels keep their alpha unless every alpha byte is 0.
// False for anything else or for a block too short for its rows.
bool dibToBgra(ByteSpan block, BgraImage& out);
// The block for a picture: a 40-byte header and 32-bit rows bottom-up.
Bytes bgraToDib(const BgraImage& image);
constexpr size_t kDibHeaderSize = 40;
// The fields of that block's header, written into kDibHeaderSize zeroed bytes at `out`.
void putDibHeader(uint8_t* out, int width, int height);

// The formats to place for one payload, in memory the clipboard can take over.
struct ClipboardContent;

// While the clipboard is open for a write: marks what was placed as private, as password managers
// do. Clipboard history, the cloud clipboard and clipboard monitors leave it alone, this
// program's own sync included, so it never reaches a peer.
void markClipboardPrivate();

class ClipboardSync {
public:
    using Listener = std::function<void(const Bytes& payload)>;

    // Created on first use and never destroyed: receive threads may still hand it payloads while
    // the process exits.
    static ClipboardSync& instance();

    // On the UI thread, once: makes the message-only window and starts listening for changes.
    // True when the window exists.
    bool start();

    // Listeners run on the UI thread with the listener lock held; they only hand the payload on.
    int addListener(Listener listener);
    void removeListener(int id);

    // From any thread: prepares a peer's payload for the window thread to write. Payloads above
    // the limits are dropped; while one waits, a newer one replaces it. Pictures are decoded on a
    // thread of their own, never on the window thread (which in the program is the UI thread).
    void applyRemote(ByteSpan payload);

    // Window thread only.
    void onChange();
    void writePending();

    ClipboardSync(const ClipboardSync&) = delete;
    ClipboardSync& operator=(const ClipboardSync&) = delete;

private:
    ClipboardSync() = default;
    // Hands prepared content to the window thread unless a newer payload's is already there.
    void offer(uint64_t sequence, std::shared_ptr<ClipboardContent> content);
    void decodeLoop();
    void write(ClipboardContent& content);

    std::atomic<void*> window_{nullptr};
    uint32_t ownSequence_ = 0;  // the clipboard's sequence number right after our last write

    std::mutex mutex_;  // listeners
    std::map<int, Listener> listeners_;
    int nextId_ = 1;

    std::mutex pendingMutex_;
    std::shared_ptr<ClipboardContent> pending_;  // what waits for the window thread
    uint64_t pendingSequence_ = 0;               // the payload it came from
    bool posted_ = false;                        // a message to write it is on its way
    uint64_t applied_ = 0;                       // payloads taken so far
    std::unique_ptr<Bytes> picture_;             // the picture waiting for the decoder
    uint64_t pictureSequence_ = 0;
    bool decoderRunning_ = false;
    std::condition_variable pictureArrived_;
};
