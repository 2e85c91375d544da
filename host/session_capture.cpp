// The host session's picture: the viewer's stream settings, which write the capture state, beside
// the capture-and-encode loop that reads it, and the set-up of capture and encoder.
#include "host/session.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "core/frame_trace.h"
#include "host/hooks.h"
#include "media/convert.h"
#include "media/stream.h"

namespace {

const char* const kWindowNotFound = "고른 창을 찾을 수 없습니다";
const char* const kCaptureFailed = "원격 PC 의 화면을 가져올 수 없습니다. 잠금 화면이거나 화면이 꺼져 있을 수 있습니다.";

double elapsedMs(int64_t from, int64_t to) { return double(to - from) / 1e6; }

}  // namespace

// What one set-up of capture and encoder goes by: the displays, the viewer's wishes as they were
// when it began, and the display and the part of it it settled on.
struct HostSession::CaptureSetup {
    std::vector<MonitorInfo> monitors;
    int viewW = 0;
    int viewH = 0;
    int quality = 0;
    size_t index = 0;
    uint32_t window = 0;
    std::optional<ScreenRect> area;  // the window's part of its display
};

// What the capture-and-encode loop keeps from one pass to the next.
struct HostSession::CaptureLoopState {
    std::unique_ptr<ScreenSource> screen;
    std::unique_ptr<PictureEncoder> encoder;
    std::unique_ptr<PointerSource> pointer;
    Bytes picture;
    CaretReports carets;
    int fps = 0;
    int64_t frameInterval = 0;
    std::vector<Bytes> parameterSets;
    uint32_t frameNumber = 0;
    bool pending = false, live = false, havePicture = false;
    // When the waiting picture and the one in `picture` were grabbed, for the frame trace.
    int64_t pendingGrabbedAt = 0, pictureGrabbedAt = 0;
    int failures = 0;
    int64_t lastSent = 0, lastWindowCheck = 0, lastCaret = 0, lastCursor = 0, lastRateStep = 0;
    // Read just before this pass's grab.
    bool keyRequest = false;
    bool windowFull = false;
};

// ---- Stream settings ----

// What the viewer sets of the stream (the display, its area, the quality, a window) and what it
// says of the frames (acknowledged, or a key frame wanted).
void HostSession::handleStreamSetting(MsgType type, const std::vector<unsigned char>& payload) {
    const int64_t now = nowNanos();
    switch (type) {
    case MsgType::FrameAck: {
        const uint32_t frame = decodeU32(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.acknowledged(frame, now);
        break;
    }
    case MsgType::KeyFrameRequest: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->keyFrameRequest = true;
        break;
    }
    case MsgType::SelectDisplay: {
        const uint8_t index = decodeU8(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->window = 0;
        capture_->display = index;
        capture_->reconfigure = true;
        capture_->notBefore = 0;
        break;
    }
    case MsgType::ViewSize: {
        const ViewSizeMsg size = ViewSizeMsg::decode(payload);
        const int w = int(std::min<uint32_t>(size.width, INT32_MAX));
        const int h = int(std::min<uint32_t>(size.height, INT32_MAX));
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (w == capture_->viewWidth && h == capture_->viewHeight) break;
        capture_->viewWidth = w;
        capture_->viewHeight = h;
        capture_->reconfigure = true;
        capture_->notBefore = now + timing_.viewSizeNs;
        break;
    }
    case MsgType::Quality: {
        const int level = decodeQuality(payload);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        capture_->notBefore = 0;
        capture_->quality = level;
        break;
    }
    case MsgType::FocusWindow: {
        const uint32_t window = decodeU32(payload);
        system_->bringToFront(window);
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->window = window;
        capture_->reconfigure = true;
        capture_->notBefore = now + timing_.focusNs;
        break;
    }
    default:
        break;
    }
}

void HostSession::setTargetLocked(const ScreenRect& r) {
    capture_->inputTarget = r;
    injector_.setTarget(r.left, r.top, r.right, r.bottom);
}

std::string HostSession::launching() {
    std::lock_guard<std::mutex> lock(captureMutex_);
    return capture_->launching;
}

void HostSession::setLaunching(const std::string& name) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    capture_->launching = name;
}

void HostSession::streamWindow(uint32_t handle) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    capture_->window = handle;
    capture_->reconfigure = true;
    capture_->notBefore = 0;
}

// ---- Capture-and-encode loop ----

bool HostSession::setupCapture(ScreenSource& screen, PictureEncoder& encoder, Bytes& picture) {
    CaptureSetup s;
    s.monitors = system_->monitors();
    if (s.monitors.empty()) return false;

    readStreamWishes(s);
    const SetupMode mode = setupMode(request_.fps, request_.retina, s.quality);

    if (s.window != 0) placeStreamWindow(s);
    const MonitorInfo& monitor = s.monitors[s.index];
    const ScreenRect display = monitorRect(monitor);
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        setTargetLocked(s.area ? *s.area : display);
    }

    const int64_t captureStart = nowNanos();
    encoder.close();
    if (!screen.open(monitor)) return false;
    const int64_t captureEnd = nowNanos();

    const StreamRegion region = streamRegion(s.area, display, screen.width(), screen.height());
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->region = region;
        if (s.window == 0) capture_->windowBounds = ScreenRect{};
        capture_->displayRect = display;
    }

    if (!openEncoder(encoder, s, mode, monitor, region)) return false;
    const int64_t encoderEnd = nowNanos();
    logLine("캡처 준비 " + std::to_string((captureEnd - captureStart) / 1'000'000) + " ms, 인코더 준비 " +
            std::to_string((encoderEnd - captureEnd) / 1'000'000) + " ms");

    const int width = encoder.width(), height = encoder.height();
    const size_t pictureBytes = size_t(width) * size_t(height) * 3 / 2;
    if (picture.size() < pictureBytes) picture.assign(pictureBytes, 0);

    sendDisplayInfo(s, monitor, width, height);

    const std::string name = encoder.name();
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.reset();
        capture_->keyFrameRequest = true;
        capture_->streamWidth = width;
        capture_->streamHeight = height;
        capture_->codec = "H.264 (" + name + ")";
    }
    logLine(std::string(s.window != 0 ? "창 보내기: " : "화면 보내기: ") + "디스플레이 " + std::to_string(s.index) +
            " " + std::to_string(width) + "x" + std::to_string(height) + " " + std::to_string(mode.fps) + "fps " +
            name + (screen.gdiMode() ? " GDI" : ""));
    return true;
}

// The viewer's area, display, quality and window as a set-up begins.
void HostSession::readStreamWishes(CaptureSetup& s) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    s.viewW = capture_->viewWidth;
    s.viewH = capture_->viewHeight;
    s.index = size_t(clampDisplayIndex(capture_->display, int(s.monitors.size())));
    s.quality = capture_->quality;
    s.window = capture_->window;
}

// The streamed window's display and part of it, restoring the window when it is minimised; a
// window that is gone is dropped (the whole display streams) and the viewer told.
void HostSession::placeStreamWindow(CaptureSetup& s) {
    WindowState state = system_->windowState(s.window);
    if (state.exists && state.bounds && state.minimised) {
        system_->restoreWindow(s.window);
        sleepMs(timing_.restoreWaitMs);
        state = system_->windowState(s.window);
    }
    if (!state.exists || !state.bounds) {
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            if (capture_->window == s.window) capture_->window = 0;
        }
        s.window = 0;
        notice(kWindowNotFound);
    } else {
        s.index = displayForWindow(*state.bounds, s.monitors, s.index);
        const ScreenRect overlap = intersect(*state.bounds, monitorRect(s.monitors[s.index]));
        if (!isEmpty(overlap)) s.area = overlap;
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->windowBounds = *state.bounds;
    }
}

// Opens the encoder at the size the region and the viewer's area call for, smaller on each try
// that fails, with the bit rate of that size.
bool HostSession::openEncoder(PictureEncoder& encoder, const CaptureSetup& s, const SetupMode& mode,
                              const MonitorInfo& monitor, const StreamRegion& region) {
    const EncoderArea wanted =
        encoderArea(region.width, region.height, mode.fullPixel, monitor.scale, s.viewW, s.viewH, s.quality);
    bool opened = false;
    for (int attempt = 0; attempt < kEncoderTries && !opened; ++attempt) {
        const PictureSize size = encoderTrySize(wanted, attempt);
        int rate;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            const BitRates rates = setupRates(size.width, size.height, mode.fps, s.quality, capture_->bitRate);
            capture_->ceiling = rates.ceiling;
            capture_->bitRate = rates.rate;
            rate = rates.rate;
        }
        opened = encoder.open(size.width, size.height, mode.fps, uint32_t(rate));
    }
    return opened;
}

// Tells the viewer the displays, the one streamed and the stream's size, the host's features, the
// wake targets and the streamed window.
void HostSession::sendDisplayInfo(const CaptureSetup& s, const MonitorInfo& monitor, int width, int height) {
    DisplayInfo info;
    info.name = store_.get().deviceName;
    for (const MonitorInfo& m : s.monitors) {
        const double scale = std::isfinite(m.scale) && m.scale > 0 ? m.scale : 1.0;
        DisplayEntry e;
        e.index = int(m.index);
        e.widthPx = m.right - m.left;
        e.heightPx = m.bottom - m.top;
        e.widthPt = int(std::lround(e.widthPx / scale));
        e.heightPt = int(std::lround(e.heightPx / scale));
        e.main = m.primary;
        info.displays.push_back(e);
    }
    info.current = int(s.index);
    info.width = width;
    info.height = height;
    info.features = hostFeatures(hostHooks().lockServiceInstalled());
    info.wake = system_->wakeTargets();
    if (s.window != 0) info.window = system_->windowEntry(s.window, monitor.scale);
    sendMessage(MsgType::DisplayInfo, info.encode());
}

void HostSession::checkStreamWindow() {
    uint32_t window;
    ScreenRect atSetup, display;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        // A window picked but not yet set up is not streamed yet.
        if (capture_->window == 0 || capture_->reconfigure) return;
        window = capture_->window;
        atSetup = capture_->windowBounds;
        display = capture_->displayRect;
    }
    const WindowCheck check = checkWindow(system_->windowState(window), atSetup, display);
    switch (check.action) {
    case WindowCheck::Action::None:
        return;
    case WindowCheck::Action::Lost: {
        logLine("고른 창이 닫혔거나 최소화됨");
        notice(check.minimised ? "프로그램 창이 최소화되었습니다" : "프로그램 창이 닫혔습니다");
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            if (capture_->window == window) {
                capture_->window = 0;
                capture_->reconfigure = true;
                capture_->notBefore = 0;
            }
        }
        // The catalogue is built on a thread of its own: a shell rebuild here would stall the
        // stream, and this thread's apartment is not the catalogue's.
        requestCatalogue();
        return;
    }
    case WindowCheck::Action::Follow: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capture_->window != window) return;
        const ScreenRect& b = check.bounds;
        capture_->windowBounds = b;
        capture_->region.x = b.left - display.left;
        capture_->region.y = b.top - display.top;
        setTargetLocked(b);
        return;
    }
    case WindowCheck::Action::Reconfigure: {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        capture_->notBefore = nowNanos() + timing_.windowMoveNs;
        return;
    }
    }
}

void HostSession::caretPass(CaretReports& reports) {
    std::optional<ScreenRect> field;
    if (!hostHooks().desktopLocked()) field = system_->caretRect();
    ScreenRect streamed;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        const CaptureState& c = *capture_;
        streamed.left = c.displayRect.left + c.region.x;
        streamed.top = c.displayRect.top + c.region.y;
        streamed.right = streamed.left + c.region.width;
        streamed.bottom = streamed.top + c.region.height;
    }
    if (std::optional<std::string> text = reports.next(caretReport(field, streamed)))
        sendMessage(MsgType::Caret, asBytes(*text));
}

void HostSession::rateStep(PictureEncoder& encoder, int fps) {
    int rate;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        CaptureState& c = *capture_;
        c.frames.step(nowNanos(), fps, timing_.frameExpiryNs);
        c.bitRate = steppedRate(c.bitRate, c.ceiling, c.skipped, c.quality);
        c.skipped = 0;
        rate = c.bitRate;
    }
    encoder.setBitrate(uint32_t(rate));
}

void HostSession::captureLoop() {
    system_->captureThreadStarts();
    CaptureLoopState run;
    run.screen = system_->screenSource();
    run.encoder = system_->pictureEncoder();
    run.pointer = system_->pointerSource();
    run.fps = request_.fps;
    run.frameInterval = 1'000'000'000 / run.fps;
    const int64_t started = nowNanos();
    run.lastWindowCheck = started;
    run.lastRateStep = started;

    while (!stop_->load()) {
        if (!setUpWhenDue(run)) continue;
        grab(run);
        const int64_t now = nowNanos();
        sidePasses(run, now);
        int64_t convertStart;
        if (!pictureToEncode(run, now, convertStart)) continue;
        Bytes out;
        if (!encodePicture(run, convertStart, out) || out.empty()) continue;
        sendFrame(run, out);
    }
    run.encoder->close();
    run.screen->close();
    // Their COM objects go before the thread leaves its apartment.
    run.encoder.reset();
    run.screen.reset();
    run.pointer.reset();
    system_->captureThreadEnds();
}

// Sets capture up when a set-up is due and its time has come, waiting while nothing streams until
// then; false when this pass goes no further.
bool HostSession::setUpWhenDue(CaptureLoopState& run) {
    const int64_t now = nowNanos();
    bool setUp = false, wait = false;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capture_->reconfigure) {
            if (capture_->notBefore > now) {
                wait = !run.live;  // a stream that works goes on until then
            } else {
                capture_->reconfigure = false;
                setUp = true;
            }
        }
    }
    if (wait) {
        sleepMs(timing_.setupWaitMs);
        return false;
    }
    if (setUp) {
        if (setupCapture(*run.screen, *run.encoder, run.picture)) {
            run.failures = 0;
            run.havePicture = run.pending = false;
            run.live = true;
            run.parameterSets.clear();  // the new encoder brings its own
        } else {
            if (run.failures++ == 0) {
                logLine("화면 가져오기 실패");
                notice(kCaptureFailed);
            }
            run.live = false;
            sleepUnlessStopped(timing_.setupRetryMs);
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->reconfigure = true;
            return false;
        }
    }
    return true;
}

// Grabs the screen, waiting longer while no picture waits: a new picture waits to be sent, in
// place of one that waited already; a failed grab sets capture up again a little later.
void HostSession::grab(CaptureLoopState& run) {
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        run.keyRequest = capture_->keyFrameRequest;
        run.windowFull = capture_->frames.full();
    }
    const int grabbed = run.screen->grab(!run.pending ? 16 : run.windowFull ? 4 : 1);
    if (const GrabCost cost = run.screen->takeGrabCost(); cost.copies > 0) {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->grabs += cost.copies;
        capture_->grabMs += double(cost.copyNs) / 1e6;
        capture_->checkMs += double(cost.checkNs) / 1e6;
    }
    if (grabbed < 0) {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        capture_->notBefore = nowNanos() + timing_.grabRetryNs;
        run.live = false;
    } else if (grabbed == 1) {
        run.pendingGrabbedAt = nowNanos();
        if (run.pending) {
            std::lock_guard<std::mutex> lock(captureMutex_);
            ++capture_->skipped;  // the newer picture replaces the waiting one
        } else {
            run.pending = true;
        }
    }
}

// The slower passes, each when its interval is over: the streamed window, the caret, the
// pointer's shape and the bit rate.
void HostSession::sidePasses(CaptureLoopState& run, int64_t now) {
    if (now - run.lastWindowCheck > timing_.windowCheckNs) {
        run.lastWindowCheck = now;
        checkStreamWindow();
    }
    if (now - run.lastCaret > timing_.caretNs) {
        run.lastCaret = now;
        caretPass(run.carets);
    }
    if (now - run.lastCursor > timing_.cursorNs) {
        run.lastCursor = now;
        Bytes shape;
        if (run.pointer->poll(shape)) sendMessage(MsgType::Cursor, shape);
    }
    if (now - run.lastRateStep > timing_.rateStepNs) {
        run.lastRateStep = now;
        rateStep(*run.encoder, run.fps);
    }
}

// Whether a picture goes to the encoder on this pass, once a frame is due and the frame window has
// room: the waiting grab, converted here, or on a still screen the last picture again. False when
// none goes; convertStart is when its conversion began.
bool HostSession::pictureToEncode(CaptureLoopState& run, int64_t now, int64_t& convertStart) {
    const bool due = now - run.lastSent >= run.frameInterval;
    if (run.pending) {
        if (run.windowFull || !due) return false;  // the picture waits; a newer grab may replace it
        convertStart = nowNanos();
        if (!run.screen->mapFrame()) {
            run.pending = false;
            return false;
        }
        convertStart = convertMapped(run, convertStart);
    } else {
        // A still screen: the last picture again, as the key frame the viewer asked for.
        if (!run.havePicture || !run.keyRequest || run.windowFull || !due) return false;
        convertStart = nowNanos();
    }
    return true;
}

// Converts the streamed region of the mapped image into the encoder's picture and unmaps it;
// returns when the conversion began.
int64_t HostSession::convertMapped(CaptureLoopState& run, int64_t mapStart) {
    StreamRegion region;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->mapMs += elapsedMs(mapStart, nowNanos());
        region = capture_->region;
    }
    const int64_t convertStart = nowNanos();  // the conversion alone: the map is reported apart
    const int imageW = run.screen->width(), imageH = run.screen->height();
    const uint8_t* src = run.screen->pixels();
    const int pitch = run.screen->pitch();
    if (regionInside(region, imageW, imageH)) {
        src += int64_t(region.y) * pitch + int64_t(region.x) * 4;
    } else {
        region = StreamRegion{0, 0, imageW, imageH};
    }
    convertBgraToNv12(src, region.width, region.height, pitch, run.picture.data(), run.encoder->width(),
                      run.encoder->height());
    run.screen->unmapFrame();
    run.havePicture = true;
    run.pictureGrabbedAt = run.pendingGrabbedAt;
    return convertStart;
}

// Encodes the picture, counting the times; false, with a set-up due, when the encoder failed.
bool HostSession::encodePicture(CaptureLoopState& run, int64_t convertStart, Bytes& out) {
    bool keyOut = false;
    const int64_t encodeStart = nowNanos();
    const bool encoded = run.encoder->encode(run.picture.data(), run.keyRequest, out, keyOut);
    const int64_t encodeEnd = nowNanos();
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->convertMs += elapsedMs(convertStart, encodeStart);
        capture_->encodeMs += elapsedMs(encodeStart, encodeEnd);
        ++capture_->encoded;
    }
    if (!encoded) {
        logLine("인코딩 실패 — 다시 시작");
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->reconfigure = true;
        return false;
    }
    // The encoder has the picture: holding its output back is no reason to feed it again.
    run.pending = false;
    return true;
}

// Sends the encoder's output as one frame, after the stream header when it is a key frame.
void HostSession::sendFrame(CaptureLoopState& run, const Bytes& out) {
    const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
    if (!unit.parameterSets.empty()) run.parameterSets = unit.parameterSets;
    if (unit.keyFrame) {
        // Only a key frame that went out answers the request: an encoder may delay or ignore it.
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->keyFrameRequest = false;
    }
    if (unit.keyFrame && !run.parameterSets.empty()) {
        StreamHeader header;
        header.width = uint32_t(run.encoder->width());
        header.height = uint32_t(run.encoder->height());
        header.parameterSets = run.parameterSets;
        sendMessage(MsgType::StreamHeader, StreamHeader::encode(header));
    }
    ++run.frameNumber;
    const Bytes frame = encodeVideoFrame(run.frameNumber, unit.keyFrame, unit.payload);
    const int64_t sentAt = nowNanos();
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.sent(run.frameNumber, sentAt);
        ++capture_->framesSent;
        capture_->bytesSent += frame.size();
        if (unit.keyFrame) ++capture_->keyFrames;
    }
    sendMessage(MsgType::VideoFrame, frame);
    run.lastSent = sentAt;
    if (FrameTrace* const trace = frameTrace_) trace->record("capture", run.frameNumber, run.pictureGrabbedAt);
}
