// The Windows clipboard monitor: a message-only window on the UI thread.
#include "host/clipboard.h"

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <utility>

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

// Places a copy of the bytes as one clipboard format; the memory belongs to the clipboard only
// when that succeeds.
void placeBytes(UINT format, const void* data, size_t size) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size == 0 ? 1 : size);
    if (!memory) return;
    void* target = GlobalLock(memory);
    if (!target) {
        GlobalFree(memory);
        return;
    }
    if (size) std::memcpy(target, data, size);
    GlobalUnlock(memory);
    if (!SetClipboardData(format, memory)) GlobalFree(memory);
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
    placeBytes(excludeFormat(), &no, sizeof no);
    placeBytes(historyFormat(), &no, sizeof no);
    placeBytes(cloudFormat(), &no, sizeof no);
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

}  // namespace

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
    HWND hwnd = static_cast<HWND>(window_.load());
    if (!hwnd || !clipboardPayloadFits(payload)) return;
    auto copy = std::make_unique<Bytes>(payload.begin(), payload.end());
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // A busy window thread writes only the newest payload, once.
    pending_ = std::move(copy);
    if (posted_) return;
    posted_ = PostMessageW(hwnd, kWriteMessage, 0, 0) != FALSE;
    if (!posted_) pending_.reset();
}

void ClipboardSync::writePending() {
    std::unique_ptr<Bytes> payload;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        payload = std::move(pending_);
        posted_ = false;
    }
    if (payload) write(*payload);
}

void ClipboardSync::write(const Bytes& payload) {
    if (payload.empty()) return;
    OpenClipboardScope clipboard(static_cast<HWND>(window_.load()));
    if (!clipboard.isOpen()) return;
    EmptyClipboard();
    ByteSpan body = ByteSpan(payload).subspan(1);
    if (payload[0] == kClipboardText) {
        std::wstring text = utf8ToWide(spanToString(body));
        placeBytes(CF_UNICODETEXT, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    } else if (payload[0] == kClipboardImage) {
        placeBytes(pngFormat(), body.data(), body.size());
        BgraImage image;
        if (decodePng(body, image.pixels, image.width, image.height, kClipboardPixelLimit)) {
            Bytes dib = bgraToDib(image);
            image.pixels = Bytes();
            placeBytes(CF_DIB, dib.data(), dib.size());
        }
    }
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
