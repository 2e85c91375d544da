// The host's stream decisions that need no system: the frame rate and sizes of a capture set-up,
// its bit rates and the once-a-second rate step, the window of frames the viewer has not yet
// acknowledged, the caret report, and what a moved or vanished streamed window means.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "media/capture.h"

// ---- Set-up ----

// The frame rate the encoder and the rate target are set up for, and whether the stream keeps the
// display's pixels (else logical points). Quality 1 streams points; quality 2 pixels at no more
// than 30 frames per second; quality 0 follows the viewer's "retina".
struct SetupMode {
    int fps = 60;
    bool fullPixel = true;
};
SetupMode setupMode(int requestFps, bool retina, int quality);

// The encoder's size before the tries, from the streamed region: in points unless fullPixel (a
// scale that is not a positive number counts as 1), no larger than the viewer's video area when it
// is known, within 1920 on the longer side at quality 1, and within 4096 x 2304 always.
struct EncoderArea {
    double width = 0;
    double height = 0;
};
EncoderArea encoderArea(int regionWidth, int regionHeight, bool fullPixel, double scale, int viewWidth,
                        int viewHeight, int quality);

// The encoder is opened at most this many times, each try smaller by a fifth.
constexpr int kEncoderTries = 6;
struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize&) const = default;
};
// The size of try `attempt` (0 to 5): each side shrunk by 0.8^attempt, made even, at least 64.
PictureSize encoderTrySize(const EncoderArea& area, int attempt);

// The bit-rate ceiling of a stream and the rate it starts at, from its size and set-up rate:
// width x height x fps / 6 within 6 to 30 Mbit/s; at quality 1 at most 8 Mbit/s; the rate never
// rises above the current one at a set-up, except that quality 2 starts at no less than
// min(target, 12 Mbit/s).
struct BitRates {
    int ceiling = 0;
    int rate = 0;
    bool operator==(const BitRates&) const = default;
};
constexpr int kInitialBitRate = 8'000'000;
constexpr int kInitialCeiling = 30'000'000;
BitRates setupRates(int width, int height, int fps, int quality, int currentRate);

// The rate after one second: down by a quarter (not below 4 Mbit/s at quality 2, 1.5 Mbit/s
// otherwise) when more than 3 pictures were skipped, up by a tenth to the ceiling when none was.
int steppedRate(int rate, int ceiling, int skipped, int quality);

// Frames that may be unacknowledged at once: the round trip in frame intervals plus 2, 3 to 8.
int inFlightLimit(double minRttMs, int fps);

// The frames sent and not yet acknowledged, with the round trips measured from the
// acknowledgements. Guarded by the session's capture mutex.
class FrameWindow {
public:
    static constexpr int kInitialLimit = 3;

    // A frame went out at `now` (nanoseconds).
    void sent(uint32_t frame, int64_t now);
    // The viewer decoded `frame`: its round trip is kept and it leaves the window. False for a
    // frame that is not waiting (never sent, already acknowledged or expired): nothing changes.
    bool acknowledged(uint32_t frame, int64_t now);
    // A new set-up: nothing is waiting any more.
    void reset();
    // Once a second: the smallest round trip of that second (the last one when none came) sets
    // the limit for `fps`, and frames sent more than expiryNs before `now` stop counting.
    void step(int64_t now, int fps, int64_t expiryNs);

    int inFlight() const { return inFlight_; }
    int limit() const { return limit_; }
    bool full() const { return inFlight_ >= limit_; }
    double minRttMs() const { return minRttMs_; }
    size_t waiting() const { return pending_.size(); }

private:
    std::map<uint32_t, int64_t> pending_;  // frame -> when it was sent
    int inFlight_ = 0;
    int limit_ = kInitialLimit;
    std::vector<double> samples_;  // round trips of the current second, in milliseconds
    double minRttMs_ = 0;
};

// ---- Caret ----

// The caret report (MsgType::Caret) for the focused text field's rectangle (none: no text field
// has the keyboard) over the streamed area in screen pixels: {"edit":false}, {"edit":true} when
// the field lies outside the area (or the area is empty), else its share of the area.
std::string caretReport(const std::optional<ScreenRect>& field, const ScreenRect& streamed);

// Keeps the caret report from repeating: a text is sent only when it differs from the last sent.
class CaretReports {
public:
    // The text to send now, or none when it equals the last one sent.
    std::optional<std::string> next(const std::string& text);
    void forget() { last_.clear(); }

private:
    std::string last_;
};

// ---- The streamed window ----

// What the system says about a streamed window.
struct WindowState {
    bool exists = false;
    bool visible = false;
    bool minimised = false;
    std::optional<ScreenRect> bounds;  // none when they cannot be read
};

// What the periodic check of a streamed window asks for.
struct WindowCheck {
    enum class Action {
        None,         // nothing changed
        Lost,         // closed, hidden or minimised: stream the whole display again at once
        Follow,       // moved within its display at the same size: the region follows
        Reconfigure,  // resized or reaching outside its display: set up again soon
    };
    Action action = Action::None;
    bool minimised = false;  // Lost: the window still exists (minimised or hidden), else closed
    ScreenRect bounds;       // Follow: the new bounds
};
WindowCheck checkWindow(const WindowState& now, const ScreenRect& atSetup, const ScreenRect& display);

// The display a window is streamed from: the one sharing the largest area with it (the first on
// ties), or `requested` when none does.
size_t displayForWindow(const ScreenRect& window, const std::vector<MonitorInfo>& monitors, size_t requested);
ScreenRect monitorRect(const MonitorInfo& monitor);
// The overlap of two rectangles; empty (right <= left or bottom <= top) when they do not meet.
ScreenRect intersect(const ScreenRect& a, const ScreenRect& b);
bool isEmpty(const ScreenRect& r);

// The streamed part of the captured image: offsets and size within it.
struct StreamRegion {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const StreamRegion&) const = default;
};
// For a window, `area` is the window's part of the display in screen pixels, cut to the image;
// for the whole display (no area), the whole image. Sides are made even and at least 16.
StreamRegion streamRegion(const std::optional<ScreenRect>& area, const ScreenRect& display, int imageWidth,
                          int imageHeight);
// Whether the region lies inside an image of that size (else the whole image is converted).
bool regionInside(const StreamRegion& region, int imageWidth, int imageHeight);

// ---- Status ----

// The status poller's state: bit 0 the input desktop is locked, bit 1 the curtain is up.
constexpr int kStatusUnknown = -1;
int statusState(bool locked, bool curtain);
// Whether a change from `previous` to `now` is to be logged as the screen becoming locked.
bool newlyLocked(int previous, int now);
