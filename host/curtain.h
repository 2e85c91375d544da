// The screen curtain: while a viewer works on the host, black topmost windows cover every monitor
// and local keyboard and mouse input is swallowed, while the viewer's injected input still passes.
// A person at the host lifts it with Ctrl+Alt+Esc.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// What the keyboard hook does with one key event while the curtain is up.
enum class CurtainKeyAction { Pass, Swallow, Release };

// The hook's decision: injected keys pass untouched; local keys are swallowed, and Esc pressed
// while both Ctrl and Alt are held (either side) lifts the curtain, once.
class CurtainKeys {
public:
    static constexpr uint32_t kControl = 0x11, kLeftControl = 0xA2, kRightControl = 0xA3;
    static constexpr uint32_t kAlt = 0x12, kLeftAlt = 0xA4, kRightAlt = 0xA5;
    static constexpr uint32_t kEscape = 0x1B;

    CurtainKeyAction onKey(uint32_t virtualKey, bool down, bool injected);
    // Forgets held keys: a curtain lowered while Ctrl and Alt were down never saw them go up.
    void reset();

private:
    bool ctrl_ = false;
    bool alt_ = false;
};

class Curtain {
public:
    // Created on first use and never destroyed: the release thread may still run at exit.
    static Curtain& instance();

    // Raises or lowers; returns after the curtain thread has ended when lowering. A raise while up
    // and a lower while down do nothing.
    void set(bool on);

    // Run (on a thread of its own) after the person at the host lifted the curtain.
    void setOnLocalRelease(std::function<void()> callback);
    std::function<void()> onLocalRelease();

    // The curtain is wanted up; read without the lock by the curtain thread and status pollers.
    std::atomic<bool> active{false};
    // How often the curtain windows are put back on top of windows that took the top since.
    std::atomic<int> retopIntervalMs{1500};

    Curtain(const Curtain&) = delete;
    Curtain& operator=(const Curtain&) = delete;

private:
    Curtain() = default;
    void run();

    std::mutex mutex_;  // serialises set
    std::thread worker_;
    std::atomic<uint32_t> threadId_{0};
    std::mutex releaseMutex_;
    std::function<void()> onLocalRelease_;
};
