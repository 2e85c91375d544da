// Rewrites a stream of Mac-coded key events so that Mac shortcuts work a PC (mode 1) and PC
// shortcuts work a Mac (mode 2); mode 0 passes keys through and only tracks what is held.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

struct ShortcutRule {
    uint8_t inMask;    // modifier mask that must be held exactly (1 Command, 2 Control, 4 Option)
    uint16_t inKey;
    uint16_t outMask;  // modifiers pressed around the output key, same bits
    uint16_t outKey;
};

// Not thread-safe: the host calls it under its session's input mutex, the viewer from its
// keyboard-hook thread only.
class ShortcutTranslator {
public:
    // Where every resulting key event goes; may be empty.
    std::function<void(uint16_t key, bool down, bool repeat)> output;
    bool capsLockHangul;

    explicit ShortcutTranslator(bool capsLockHangul = true) : capsLockHangul(capsLockHangul) {}

    void process(uint16_t key, bool down, bool repeat);
    // Releases every key and modifier down at the output and forgets all held state; the mode stays.
    void releaseAll();
    // A different mode releases everything first, so no key stays down across the change. Only
    // 0, 1 and 2 are modes; any other number is ignored.
    void setMode(int newMode);
    int currentMode() const { return mode; }
    // The modifier keys down at the output; already updated when `output` is called, so the
    // viewer can build the flag word of the event it is sending from it.
    const std::set<uint16_t>& outputHeld() const { return outputModifiers; }
    int modifierMask() const;

private:
    void emit(uint16_t key, bool down, bool repeat);
    void setOutput(uint16_t code, bool down);
    void applyDesired(const std::set<uint16_t>& desired);
    void syncModifiers();
    void forceModifiers(int mask, bool keepShift);
    void tap(uint16_t code);
    const ShortcutRule* findRule(uint16_t key) const;
    void processKey(uint16_t k, bool down, bool repeat);
    void processModifier(uint16_t k, bool down);

    int mode = 0;
    std::set<uint16_t> heldModifiers;
    std::set<uint16_t> outputModifiers;
    std::set<uint16_t> passedKeys;
    std::set<uint16_t> swallowedKeys;
    bool switcherLatched = false;
    uint16_t pendingLoneKey = 0;
};
