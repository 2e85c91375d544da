// Turns the viewer's decoded input events into synthetic system input records. The records are
// built here, portably; a small backend hands them to the system (input_win.cpp on Windows).
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

// One synthetic input: a mouse record (dx, dy, mouseData, flags) or a keyboard record
// (vk, scan, flags). Time and extra information are always 0.
struct InputRecord {
    // Values of the Windows input flags, kept as plain numbers so the records build anywhere.
    static constexpr uint32_t kMouseMove = 0x0001;
    static constexpr uint32_t kLeftDown = 0x0002;
    static constexpr uint32_t kLeftUp = 0x0004;
    static constexpr uint32_t kRightDown = 0x0008;
    static constexpr uint32_t kRightUp = 0x0010;
    static constexpr uint32_t kMiddleDown = 0x0020;
    static constexpr uint32_t kMiddleUp = 0x0040;
    static constexpr uint32_t kXDown = 0x0080;
    static constexpr uint32_t kXUp = 0x0100;
    static constexpr uint32_t kWheel = 0x0800;
    static constexpr uint32_t kHWheel = 0x1000;
    static constexpr uint32_t kVirtualDesk = 0x4000;
    static constexpr uint32_t kAbsolute = 0x8000;
    static constexpr uint32_t kXButton1 = 1;
    static constexpr uint32_t kXButton2 = 2;
    static constexpr uint32_t kKeyExtended = 0x0001;
    static constexpr uint32_t kKeyUp = 0x0002;
    static constexpr uint32_t kKeyUnicode = 0x0004;
    static constexpr uint32_t kKeyScanCode = 0x0008;
    static constexpr uint16_t kVkTab = 0x09;
    static constexpr uint16_t kVkReturn = 0x0D;

    enum class Kind : uint8_t { Mouse, Key };
    Kind kind = Kind::Mouse;
    int32_t dx = 0;
    int32_t dy = 0;
    uint32_t mouseData = 0;
    uint16_t vk = 0;
    uint16_t scan = 0;
    uint32_t flags = 0;

    static InputRecord mouse(uint32_t flags, uint32_t mouseData, int32_t dx, int32_t dy) {
        InputRecord r;
        r.kind = Kind::Mouse;
        r.flags = flags;
        r.mouseData = mouseData;
        r.dx = dx;
        r.dy = dy;
        return r;
    }
    static InputRecord key(uint16_t vk, uint16_t scan, uint32_t flags) {
        InputRecord r;
        r.kind = Kind::Key;
        r.vk = vk;
        r.scan = scan;
        r.flags = flags;
        return r;
    }
    bool operator==(const InputRecord&) const = default;
};

struct ScreenPoint {
    int32_t x = 0;
    int32_t y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

// The virtual screen spanning every monitor.
struct VirtualScreen {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// What the injector needs of the system. Implementations must allow calls from several threads.
class InputBackend {
public:
    virtual ~InputBackend() = default;
    // Inserts the records in order; returns how many the system accepted.
    virtual size_t send(std::span<const InputRecord> records) = 0;
    // The system's error code for the calling thread's last failed call.
    virtual uint32_t lastError() = 0;
    virtual VirtualScreen virtualScreen() = 0;
    virtual void lockWorkStation() = 0;
};

// The system's input (SendInput on Windows; elsewhere a backend that accepts nothing).
std::unique_ptr<InputBackend> makeSystemInputBackend();

// Lets one report through per interval, whichever thread asks.
class FailureLogThrottle {
public:
    explicit FailureLogThrottle(int64_t intervalNanos) : interval_(intervalNanos) {}
    // True for the first call, and for the first one at least the interval after the last true.
    bool allow(int64_t nowNs);

private:
    static constexpr int64_t kNever = INT64_MIN;
    int64_t interval_;
    std::atomic<int64_t> last_{kNever};
};

// The process-wide throttle of injection failures: 5 seconds.
FailureLogThrottle& injectFailureThrottle();

// Logs "<what> 입력을 넣지 못함 (오류 N) — ..." when the throttle lets it through (the process-wide
// one: at most once every 5 seconds); returns whether it logged.
bool logInjectFailure(const std::string& what, uint32_t errorCode,
                      FailureLogThrottle& throttle = injectFailureThrottle());

// One per host session.
//
// Locking: the injector's one mutex guards the target rectangle, the held buttons and keys, the
// last pointer position and the wheel remainder, and is held across the system call that sends
// the matching records, so a release on one thread (session close) and a stream of mouse events
// on another never interleave a record with the change of the held sets it belongs to. While it
// is held only the backend and the log are entered, never another lock of the session; callers
// may hold their own mutexes (input or capture) when calling in.
class InputInjector {
public:
    InputInjector();
    explicit InputInjector(std::unique_ptr<InputBackend> backend);

    // The captured display or window in virtual-screen pixels, right and bottom exclusive.
    void setTarget(int32_t left, int32_t top, int32_t right, int32_t bottom);

    // action 0 move, 1 button down, other button up; x and y are fractions of the target.
    void mouse(uint8_t action, uint8_t button, float x, float y);
    void wheel(float horizontal, float vertical, bool precise);
    void key(uint16_t macCode, bool down);
    void combo(const std::vector<uint16_t>& codes);
    void releaseAll();
    void typeText(const std::string& utf8);

    ScreenPoint mapPoint(float x, float y);
    void sendMouse(uint32_t flags, uint32_t mouseData, ScreenPoint point);

    std::set<int> heldButtons();
    std::set<uint16_t> heldKeys();

private:
    ScreenPoint mapPointLocked(float x, float y) const;
    void sendMouseLocked(uint32_t flags, uint32_t mouseData, ScreenPoint point);
    void keyLocked(uint16_t macCode, bool down);

    std::mutex mutex_;
    int32_t left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;
    std::set<int> heldButtons_;
    std::set<uint16_t> heldKeys_;
    ScreenPoint last_;
    float wheelRemainderX_ = 0;
    float wheelRemainderY_ = 0;
    std::unique_ptr<InputBackend> backend_;
};
