// The Windows clipboard monitor: a message-only window on the UI thread.
#include "host/clipboard.h"

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/text.h"
#include "media/png.h"

namespace {

constexpr UINT kWriteMessage = WM_APP + 41;
constexpr wchar_t kClassName[] = L"TavrelClipboard";

UINT pngFormat() {
    static const UINT format = RegisterClipboardFormatW(L"PNG");
    return format;
}
UINT excludeFormat() {
    static const UINT format = RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
    return format;
}
UINT historyFormat() {
    static const UINT format = RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
    return format;
}
UINT cloudFormat() {
    static const UINT format = RegisterClipboardFormatW(L"CanUploadToCloudClipboard");
    return format;
}

// The clipboard held open for one write or one read; closed on every way out.
class OpenClipboardScope {
public:
    explicit OpenClipboardScope(HWND owner) {
        // Another program may hold it for a moment.
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (OpenClipboard(owner)) {
                open_ = true;
                return;
            }
            if (attempt < 9) Sleep(20);
        }
    }
    ~OpenClipboardScope() {
        if (open_) CloseClipboard();
    }
    OpenClipboardScope(const OpenClipboardScope&) = delete;
    OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;
    bool isOpen() const { return open_; }
    // Closes now; true when it was open.
    bool close() {
        bool was = open_;
        if (open_) CloseClipboard();
        open_ = false;
        return was;
    }

private:
    bool open_ = false;
};

// One format's movable memory, freed unless the clipboard took it over.
class GlobalBlock {
public:
    GlobalBlock() = default;
    explicit GlobalBlock(size_t size) : memory_(GlobalAlloc(GMEM_MOVEABLE, size == 0 ? 1 : size)) {}
    ~GlobalBlock() {
        if (memory_) GlobalFree(memory_);
    }
    GlobalBlock(GlobalBlock&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}
    GlobalBlock& operator=(GlobalBlock&& other) noexcept {
        if (this != &other) {
            if (memory_) GlobalFree(memory_);
            memory_ = std::exchange(other.memory_, nullptr);
        }
        return *this;
    }
    GlobalBlock(const GlobalBlock&) = delete;
    HGLOBAL get() const { return memory_; }
    void release() { memory_ = nullptr; }

private:
    HGLOBAL memory_ = nullptr;
};

// The block's memory locked for writing; unlocked on every way out.
class GlobalWrite {
public:
    explicit GlobalWrite(const GlobalBlock& block)
        : memory_(block.get()), data_(memory_ ? static_cast<uint8_t*>(GlobalLock(memory_)) : nullptr) {}
    ~GlobalWrite() {
        if (data_) GlobalUnlock(memory_);
    }
    GlobalWrite(const GlobalWrite&) = delete;
    GlobalWrite& operator=(const GlobalWrite&) = delete;
    uint8_t* data() const { return data_; }

private:
    HGLOBAL memory_;
    uint8_t* data_;
};

// A copy of the bytes in a block of their own; an empty block when there is no memory for it.
GlobalBlock blockOf(const void* data, size_t size) {
    GlobalBlock block(size);
    GlobalWrite target(block);
    if (!target.data()) return GlobalBlock();
    if (size) std::memcpy(target.data(), data, size);
    return block;
}

// Reads one format's memory block while the clipboard is open.
class ClipboardBlock {
public:
    explicit ClipboardBlock(UINT format) {
        memory_ = GetClipboardData(format);
        if (!memory_) return;
        data_ = static_cast<const uint8_t*>(GlobalLock(memory_));
        if (data_) size_ = GlobalSize(memory_);
    }
    ~ClipboardBlock() {
        if (data_) GlobalUnlock(memory_);
    }
    ClipboardBlock(const ClipboardBlock&) = delete;
    ClipboardBlock& operator=(const ClipboardBlock&) = delete;
    bool valid() const { return data_ != nullptr; }
    ByteSpan bytes() const { return ByteSpan(data_, size_); }

private:
    HANDLE memory_ = nullptr;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Content other programs mark as private (password managers) is never sent.
bool markedPrivate() {
    if (IsClipboardFormatAvailable(excludeFormat())) return true;
    if (!IsClipboardFormatAvailable(historyFormat())) return false;
    ClipboardBlock marker(historyFormat());
    if (!marker.valid() || marker.bytes().size() < 4) return false;
    uint32_t value;
    std::memcpy(&value, marker.bytes().data(), 4);
    return value == 0;
}

}  // namespace

void markClipboardPrivate() {
    const uint32_t no = 0;  // a DWORD 0: "may not"; the exclusion counts by being there at all
    for (UINT format : {excludeFormat(), historyFormat(), cloudFormat()}) {
        GlobalBlock block = blockOf(&no, sizeof no);
        if (block.get() && SetClipboardData(format, block.get())) block.release();
    }
}

namespace {

Bytes withKind(uint8_t kind, ByteSpan body) {
    Bytes payload;
    payload.reserve(body.size() + 1);
    payload.push_back(kind);
    payload.insert(payload.end(), body.begin(), body.end());
    return payload;
}

// The payload for the clipboard's current content, or empty. The clipboard is open.
Bytes readPayload() {
    if (markedPrivate()) return {};
    if (IsClipboardFormatAvailable(CF_UNICODETEXT)) {
        ClipboardBlock block(CF_UNICODETEXT);
        if (!block.valid()) return {};
        // Up to the terminator, but never past the block when another program left it out.
        auto units = reinterpret_cast<const wchar_t*>(block.bytes().data());
        size_t count = block.bytes().size() / sizeof(wchar_t);
        size_t length = 0;
        while (length < count && units[length] != 0) ++length;
        std::string text = wideToUtf8(std::wstring(units, length));
        if (text.empty() || text.size() > kClipboardTextLimit) return {};
        return withKind(kClipboardText, asBytes(text));
    }
    if (IsClipboardFormatAvailable(pngFormat())) {
        ClipboardBlock block(pngFormat());
        if (!block.valid() || block.bytes().size() > kClipboardImageLimit) return {};
        return withKind(kClipboardImage, block.bytes());
    }
    if (IsClipboardFormatAvailable(CF_DIB)) {
        BgraImage image;
        {
            ClipboardBlock block(CF_DIB);
            if (!block.valid() || !dibToBgra(block.bytes(), image)) return {};
        }
        Bytes png;
        encodePng(png, image.pixels.data(), image.width, image.height, image.width * 4);
        if (png.empty() || png.size() > kClipboardImageLimit) return {};
        return withKind(kClipboardImage, png);
    }
    return {};
}

LRESULT CALLBACK clipboardWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* sync = reinterpret_cast<ClipboardSync*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_CLIPBOARDUPDATE || msg == kWriteMessage) {
        // Nothing may unwind through the system's message dispatch.
        try {
            if (sync && msg == WM_CLIPBOARDUPDATE) sync->onChange();
            if (sync && msg == kWriteMessage) sync->writePending();
        } catch (...) {
            logLine("클립보드 처리 실패");
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// A picture's bitmap block, decoded straight into it with rows bottom-up; empty when the PNG does
// not decode or is larger than the limit.
GlobalBlock dibOf(ByteSpan png) {
    GlobalBlock block;
    std::unique_ptr<GlobalWrite> target;
    const bool ok = decodePngInto(png, kClipboardPixelLimit, [&](int width, int height) {
        const size_t rowBytes = size_t(width) * 4;
        block = GlobalBlock(kDibHeaderSize + rowBytes * size_t(height));
        target = std::make_unique<GlobalWrite>(block);
        if (!target->data()) return PngRows{};
        std::memset(target->data(), 0, kDibHeaderSize);
        putDibHeader(target->data(), width, height);
        return PngRows{target->data() + kDibHeaderSize + rowBytes * size_t(height - 1), -std::ptrdiff_t(rowBytes)};
    });
    target.reset();
    return ok ? std::move(block) : GlobalBlock();
}

}  // namespace

struct ClipboardContent {
    std::vector<std::pair<UINT, GlobalBlock>> formats;  // an empty list empties the clipboard
};

ClipboardSync& ClipboardSync::instance() {
    static ClipboardSync* sync = new ClipboardSync;
    return *sync;
}

bool ClipboardSync::start() {
    if (window_.load()) return true;
    // Images go through the imaging component on this thread; the UI thread normally has COM
    // already, and a second initialisation of the same kind is harmless.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = clipboardWndProc;
    wc.hInstance = module;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // already registered by an earlier attempt is fine
    HWND hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (!hwnd) return false;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!AddClipboardFormatListener(hwnd)) {
        DestroyWindow(hwnd);
        return false;
    }
    window_.store(hwnd);
    return true;
}

int ClipboardSync::addListener(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    int id = nextId_++;
    listeners_[id] = std::move(listener);
    return id;
}

void ClipboardSync::removeListener(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.erase(id);
}

void ClipboardSync::applyRemote(ByteSpan payload) {
    if (!window_.load() || payload.empty() || !clipboardPayloadFits(payload)) return;
    auto content = std::make_shared<ClipboardContent>();
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        sequence = ++applied_;
        if (payload[0] == kClipboardImage) {
            // A newer picture replaces one the decoder has not begun.
            picture_ = std::make_unique<Bytes>(payload.begin() + 1, payload.end());
            pictureSequence_ = sequence;
            if (!decoderRunning_) {
                try {
                    std::thread([this] { decodeLoop(); }).detach();
                    decoderRunning_ = true;
                } catch (const std::system_error&) {
                    picture_.reset();
                    return;
                }
            }
            pictureArrived_.notify_one();
            return;
        }
    }
    if (payload[0] == kClipboardText) {
        std::wstring text = utf8ToWide(spanToString(payload.subspan(1)));
        content->formats.emplace_back(CF_UNICODETEXT, blockOf(text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
    }
    offer(sequence, std::move(content));
}

void ClipboardSync::decodeLoop() {
    // The imaging component needs COM on this thread; it lives as long as the process.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        std::unique_ptr<Bytes> png;
        uint64_t sequence;
        {
            std::unique_lock<std::mutex> lock(pendingMutex_);
            pictureArrived_.wait(lock, [this] { return picture_ != nullptr; });
            png = std::move(picture_);
            sequence = pictureSequence_;
        }
        auto content = std::make_shared<ClipboardContent>();
        try {
            content->formats.emplace_back(pngFormat(), blockOf(png->data(), png->size()));
            if (GlobalBlock dib = dibOf(*png); dib.get()) content->formats.emplace_back(CF_DIB, std::move(dib));
        } catch (const std::exception&) {
            logLine("클립보드 처리 실패");
        }
        png.reset();
        offer(sequence, std::move(content));
    }
}

void ClipboardSync::offer(uint64_t sequence, std::shared_ptr<ClipboardContent> content) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // A picture decoded after a newer payload was taken is stale.
    if (sequence < pendingSequence_) return;
    pending_ = std::move(content);
    pendingSequence_ = sequence;
    if (posted_) return;
    posted_ = PostMessageW(static_cast<HWND>(window_.load()), kWriteMessage, 0, 0) != FALSE;
    if (!posted_) pending_.reset();
}

void ClipboardSync::writePending() {
    std::shared_ptr<ClipboardContent> content;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        content = std::move(pending_);
        posted_ = false;
    }
    if (content) write(*content);
}

void ClipboardSync::write(ClipboardContent& content) {
    OpenClipboardScope clipboard(static_cast<HWND>(window_.load()));
    if (!clipboard.isOpen()) return;
    EmptyClipboard();
    for (auto& [format, block] : content.formats)
        if (block.get() && SetClipboardData(format, block.get())) block.release();
    clipboard.close();
    ownSequence_ = GetClipboardSequenceNumber();
}

void ClipboardSync::onChange() {
    // Our own write: a peer's payload is neither sent back nor passed to another session.
    if (GetClipboardSequenceNumber() == ownSequence_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listeners_.empty()) return;
    }
    Bytes payload;
    {
        OpenClipboardScope clipboard(static_cast<HWND>(window_.load()));
        if (!clipboard.isOpen()) return;
        payload = readPayload();
    }
    if (payload.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, listener] : listeners_)
        if (listener) listener(payload);
}
