// The host session's picture: the viewer's stream settings, which write the capture state, beside
// the capture-and-encode loop that reads it, and the set-up of capture and encoder.
#include "host/session.h"

#include <algorithm>
#include <cmath>
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
    const std::vector<MonitorInfo> monitors = system_->monitors();
    if (monitors.empty()) return false;

    int viewW, viewH, quality;
    size_t index;
    uint32_t window;
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        viewW = capture_->viewWidth;
        viewH = capture_->viewHeight;
        index = size_t(clampDisplayIndex(capture_->display, int(monitors.size())));
        quality = capture_->quality;
        window = capture_->window;
    }
    const SetupMode mode = setupMode(request_.fps, request_.retina, quality);

    std::optional<ScreenRect> area;  // the window's part of its display
    if (window != 0) {
        WindowState state = system_->windowState(window);
        if (state.exists && state.bounds && state.minimised) {
            system_->restoreWindow(window);
            sleepMs(timing_.restoreWaitMs);
            state = system_->windowState(window);
        }
        if (!state.exists || !state.bounds) {
            {
                std::lock_guard<std::mutex> lock(captureMutex_);
                if (capture_->window == window) capture_->window = 0;
            }
            window = 0;
            notice(kWindowNotFound);
        } else {
            index = displayForWindow(*state.bounds, monitors, index);
            const ScreenRect overlap = intersect(*state.bounds, monitorRect(monitors[index]));
            if (!isEmpty(overlap)) area = overlap;
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->windowBounds = *state.bounds;
        }
    }
    const MonitorInfo& monitor = monitors[index];
    const ScreenRect display = monitorRect(monitor);
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        setTargetLocked(area ? *area : display);
    }

    const int64_t captureStart = nowNanos();
    encoder.close();
    if (!screen.open(monitor)) return false;
    const int64_t captureEnd = nowNanos();

    const StreamRegion region = streamRegion(area, display, screen.width(), screen.height());
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->region = region;
        if (window == 0) capture_->windowBounds = ScreenRect{};
        capture_->displayRect = display;
    }

    const EncoderArea wanted =
        encoderArea(region.width, region.height, mode.fullPixel, monitor.scale, viewW, viewH, quality);
    bool opened = false;
    for (int attempt = 0; attempt < kEncoderTries && !opened; ++attempt) {
        const PictureSize size = encoderTrySize(wanted, attempt);
        int rate;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            const BitRates rates = setupRates(size.width, size.height, mode.fps, quality, capture_->bitRate);
            capture_->ceiling = rates.ceiling;
            capture_->bitRate = rates.rate;
            rate = rates.rate;
        }
        opened = encoder.open(size.width, size.height, mode.fps, uint32_t(rate));
    }
    if (!opened) return false;
    const int64_t encoderEnd = nowNanos();
    logLine("캡처 준비 " + std::to_string((captureEnd - captureStart) / 1'000'000) + " ms, 인코더 준비 " +
            std::to_string((encoderEnd - captureEnd) / 1'000'000) + " ms");

    const int width = encoder.width(), height = encoder.height();
    const size_t pictureBytes = size_t(width) * size_t(height) * 3 / 2;
    if (picture.size() < pictureBytes) picture.assign(pictureBytes, 0);

    DisplayInfo info;
    info.name = store_.get().deviceName;
    for (const MonitorInfo& m : monitors) {
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
    info.current = int(index);
    info.width = width;
    info.height = height;
    info.features = hostFeatures(hostHooks().lockServiceInstalled());
    info.wake = system_->wakeTargets();
    if (window != 0) info.window = system_->windowEntry(window, monitor.scale);
    sendMessage(MsgType::DisplayInfo, info.encode());

    const std::string name = encoder.name();
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        capture_->frames.reset();
        capture_->keyFrameRequest = true;
        capture_->streamWidth = width;
        capture_->streamHeight = height;
        capture_->codec = "H.264 (" + name + ")";
    }
    logLine(std::string(window != 0 ? "창 보내기: " : "화면 보내기: ") + "디스플레이 " + std::to_string(index) + " " +
            std::to_string(width) + "x" + std::to_string(height) + " " + std::to_string(mode.fps) + "fps " + name +
            (screen.gdiMode() ? " GDI" : ""));
    return true;
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
    std::unique_ptr<ScreenSource> screen = system_->screenSource();
    std::unique_ptr<PictureEncoder> encoder = system_->pictureEncoder();
    std::unique_ptr<PointerSource> pointer = system_->pointerSource();
    Bytes picture;
    CaretReports carets;
    const int fps = request_.fps;
    const int64_t frameInterval = 1'000'000'000 / fps;
    std::vector<Bytes> parameterSets;
    uint32_t frameNumber = 0;
    bool pending = false, live = false, havePicture = false;
    // When the waiting picture and the one in `picture` were grabbed, for the frame trace.
    int64_t pendingGrabbedAt = 0, pictureGrabbedAt = 0;
    FrameTrace* const trace = frameTrace_;
    int failures = 0;
    const int64_t started = nowNanos();
    int64_t lastSent = 0, lastWindowCheck = started, lastCaret = 0, lastCursor = 0, lastRateStep = started;

    while (!stop_->load()) {
        int64_t now = nowNanos();
        bool setUp = false, wait = false;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            if (capture_->reconfigure) {
                if (capture_->notBefore > now) {
                    wait = !live;  // a stream that works goes on until then
                } else {
                    capture_->reconfigure = false;
                    setUp = true;
                }
            }
        }
        if (wait) {
            sleepMs(timing_.setupWaitMs);
            continue;
        }
        if (setUp) {
            if (setupCapture(*screen, *encoder, picture)) {
                failures = 0;
                havePicture = pending = false;
                live = true;
                parameterSets.clear();  // the new encoder brings its own
            } else {
                if (failures++ == 0) {
                    logLine("화면 가져오기 실패");
                    notice(kCaptureFailed);
                }
                live = false;
                sleepUnlessStopped(timing_.setupRetryMs);
                std::lock_guard<std::mutex> lock(captureMutex_);
                capture_->reconfigure = true;
                continue;
            }
        }

        bool keyRequest;
        bool windowFull;
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            keyRequest = capture_->keyFrameRequest;
            windowFull = capture_->frames.full();
        }
        const int grabbed = screen->grab(!pending ? 16 : windowFull ? 4 : 1);
        if (const GrabCost cost = screen->takeGrabCost(); cost.copies > 0) {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->grabs += cost.copies;
            capture_->grabMs += double(cost.copyNs) / 1e6;
            capture_->checkMs += double(cost.checkNs) / 1e6;
        }
        if (grabbed < 0) {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->reconfigure = true;
            capture_->notBefore = nowNanos() + timing_.grabRetryNs;
            live = false;
        } else if (grabbed == 1) {
            pendingGrabbedAt = nowNanos();
            if (pending) {
                std::lock_guard<std::mutex> lock(captureMutex_);
                ++capture_->skipped;  // the newer picture replaces the waiting one
            } else {
                pending = true;
            }
        }

        now = nowNanos();
        if (now - lastWindowCheck > timing_.windowCheckNs) {
            lastWindowCheck = now;
            checkStreamWindow();
        }
        if (now - lastCaret > timing_.caretNs) {
            lastCaret = now;
            caretPass(carets);
        }
        if (now - lastCursor > timing_.cursorNs) {
            lastCursor = now;
            Bytes shape;
            if (pointer->poll(shape)) sendMessage(MsgType::Cursor, shape);
        }
        if (now - lastRateStep > timing_.rateStepNs) {
            lastRateStep = now;
            rateStep(*encoder, fps);
        }

        const bool due = now - lastSent >= frameInterval;
        int64_t convertStart;
        if (pending) {
            if (windowFull || !due) continue;  // the picture waits; a newer grab may replace it
            convertStart = nowNanos();
            if (!screen->mapFrame()) {
                pending = false;
                continue;
            }
            StreamRegion region;
            {
                std::lock_guard<std::mutex> lock(captureMutex_);
                capture_->mapMs += elapsedMs(convertStart, nowNanos());
                region = capture_->region;
            }
            convertStart = nowNanos();  // the conversion alone: the map is reported apart
            const int imageW = screen->width(), imageH = screen->height();
            const uint8_t* src = screen->pixels();
            const int pitch = screen->pitch();
            if (regionInside(region, imageW, imageH)) {
                src += int64_t(region.y) * pitch + int64_t(region.x) * 4;
            } else {
                region = StreamRegion{0, 0, imageW, imageH};
            }
            convertBgraToNv12(src, region.width, region.height, pitch, picture.data(), encoder->width(),
                              encoder->height());
            screen->unmapFrame();
            havePicture = true;
            pictureGrabbedAt = pendingGrabbedAt;
        } else {
            // A still screen: the last picture again, as the key frame the viewer asked for.
            if (!havePicture || !keyRequest || windowFull || !due) continue;
            convertStart = nowNanos();
        }

        Bytes out;
        bool keyOut = false;
        const int64_t encodeStart = nowNanos();
        const bool encoded = encoder->encode(picture.data(), keyRequest, out, keyOut);
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
            continue;
        }
        // The encoder has the picture: holding its output back is no reason to feed it again.
        pending = false;
        if (out.empty()) continue;
        const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
        if (!unit.parameterSets.empty()) parameterSets = unit.parameterSets;
        if (unit.keyFrame) {
            // Only a key frame that went out answers the request: an encoder may delay or ignore it.
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->keyFrameRequest = false;
        }
        if (unit.keyFrame && !parameterSets.empty()) {
            StreamHeader header;
            header.width = uint32_t(encoder->width());
            header.height = uint32_t(encoder->height());
            header.parameterSets = parameterSets;
            sendMessage(MsgType::StreamHeader, StreamHeader::encode(header));
        }
        ++frameNumber;
        const Bytes frame = encodeVideoFrame(frameNumber, unit.keyFrame, unit.payload);
        const int64_t sentAt = nowNanos();
        {
            std::lock_guard<std::mutex> lock(captureMutex_);
            capture_->frames.sent(frameNumber, sentAt);
            ++capture_->framesSent;
            capture_->bytesSent += frame.size();
            if (unit.keyFrame) ++capture_->keyFrames;
        }
        sendMessage(MsgType::VideoFrame, frame);
        lastSent = sentAt;
        if (trace) trace->record("capture", frameNumber, pictureGrabbedAt);
    }
    encoder->close();
    screen->close();
    // Their COM objects go before the thread leaves its apartment.
    encoder.reset();
    screen.reset();
    pointer.reset();
    system_->captureThreadEnds();
}
