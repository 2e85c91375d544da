// What a host session asks of the machine, beyond the host's seam for what tests must not do
// (host/hooks.h: lock state, lock helper, power, datagrams): the screen, the video encoder and the
// pointer shape; windows, the caret and the wake targets; the program catalogue; the curtain, the
// clipboard, the chat window and the sound; the copied files and the folder listing. The product
// uses systemSessionSystem(); tests give sessions their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/util.h"
#include "host/catalogue.h"
#include "host/desktop.h"
#include "host/input.h"
#include "host/stream_control.h"
#include "media/capture.h"

// One display grabbed as 32-bit BGRA (the screen capturer). Used by the capture thread only.
class ScreenSource {
public:
    virtual ~ScreenSource() = default;
    virtual bool open(const MonitorInfo& monitor) = 0;
    // 1: a new image; 0: nothing new; -1: failure (the caller sets up again).
    virtual int grab(int timeoutMs) = 0;
    // On true, pixels() and pitch() show the last image until unmapFrame.
    virtual bool mapFrame() = 0;
    virtual void unmapFrame() = 0;
    virtual const uint8_t* pixels() const = 0;
    virtual int pitch() const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual bool gdiMode() const = 0;
    virtual void close() = 0;
    // The cost of the grabs since the last call, for the session's timing report.
    virtual GrabCost takeGrabCost() { return {}; }
};

// The H.264 encoder, fed one NV12 picture of its size per call. Used by the capture thread only.
class PictureEncoder {
public:
    virtual ~PictureEncoder() = default;
    virtual bool open(int width, int height, int fps, uint32_t bitrate) = 0;
    // Annex-B output of this call in `out` (empty while the encoder holds the picture back).
    virtual bool encode(const uint8_t* nv12, bool forceKeyFrame, Bytes& out, bool& keyFrame) = 0;
    virtual void setBitrate(uint32_t bitsPerSecond) = 0;
    virtual void close() = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual std::string name() const = 0;
};

// The pointer's shape as cursor messages (MsgType::Cursor). Used by the capture thread only.
class PointerSource {
public:
    virtual ~PointerSource() = default;
    // True when `out` holds a message to send: the first poll, a new shape, hiding or showing.
    virtual bool poll(Bytes& out) = 0;
};

// The chat window of one session. Any thread.
class ChatBox {
public:
    virtual ~ChatBox() = default;
    virtual void show() = 0;
    virtual void received(const std::string& text) = 0;
    virtual void addNote(const std::string& text) = 0;
};

// The PC's sound as AAC: the format once per start, then each frame, on a thread of its own.
class SoundSource {
public:
    using FormatSink = std::function<void(const std::string&)>;
    using FrameSink = std::function<void(const std::vector<uint8_t>&)>;
    virtual ~SoundSource() = default;
    // Starts capturing (stopping first when it runs) with the two sinks.
    virtual void start(FormatSink format, FrameSink frame) = 0;
    // Ends the capture and waits for its thread.
    virtual void stop() = 0;
};

class SessionSystem {
public:
    virtual ~SessionSystem() = default;

    // ---- Input ----
    virtual std::unique_ptr<InputBackend> inputBackend() = 0;

    // ---- Displays, windows, caret ----
    virtual std::vector<MonitorInfo> monitors() = 0;
    // A window by its id on the wire.
    virtual WindowState windowState(uint32_t window) = 0;
    // Shows a minimised window in its normal place again.
    virtual void restoreWindow(uint32_t window) = 0;
    // The window's catalogue entry at that scale; null when it is no window.
    virtual Json windowEntry(uint32_t window, double scale) = 0;
    // Brings the window to the front; false (and nothing happens) when the id names no window.
    virtual bool bringToFront(uint32_t window) = 0;
    // The screen rectangle of the text field that has the keyboard focus, if any.
    virtual std::optional<ScreenRect> caretRect() = 0;
    // This PC's wake-on-LAN targets.
    virtual Json wakeTargets() = 0;

    // ---- The capture thread ----
    // Around the capture thread's life: its COM apartment, keeping the PC and the display awake,
    // the media start-up.
    virtual void captureThreadStarts() = 0;
    virtual void captureThreadEnds() = 0;
    virtual std::unique_ptr<ScreenSource> screenSource() = 0;
    virtual std::unique_ptr<PictureEncoder> pictureEncoder() = 0;
    virtual std::unique_ptr<PointerSource> pointerSource() = 0;

    // ---- The program catalogue (on threads of their own) ----
    virtual void sendAppList(CatalogueSession& session) = 0;
    virtual void launchFromCatalogue(CatalogueSession& session, const std::string& id) = 0;

    // ---- Desktop services ----
    virtual bool curtainUp() = 0;
    virtual void setCurtain(bool up) = 0;
    // Run after the person at the host lifted the curtain; replaces the one before.
    virtual void setCurtainRelease(std::function<void()> callback) = 0;
    virtual int addClipboardListener(std::function<void(const Bytes&)> listener) = 0;
    virtual void removeClipboardListener(int id) = 0;
    virtual void applyClipboard(ByteSpan payload) = 0;
    // A chat window with the peer; `send` takes each typed line.
    virtual std::unique_ptr<ChatBox> chat(const std::string& peerName,
                                          std::function<void(const std::string&)> send) = 0;
    virtual std::unique_ptr<SoundSource> soundSource() = 0;

    // ---- Files ----
    // The files copied to the clipboard, in order.
    virtual std::vector<std::wstring> clipboardFiles() = 0;
    // Whether folder listings can be made; the listing (FolderListing text) of a folder, on a
    // thread of its own.
    virtual bool listsFolders() = 0;
    virtual std::string listFolder(const std::string& path) = 0;
    // True, with the folder's wide form, when files can be created in it.
    virtual bool folderWritable(const std::string& path, std::wstring& folder) = 0;
};

// The machine's: on Windows the real screen, encoder, windows and desktop services; elsewhere a
// machine with no display, windows or desktop services.
std::shared_ptr<SessionSystem> systemSessionSystem();
