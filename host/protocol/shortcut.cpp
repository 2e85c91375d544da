#include "host/protocol/shortcut.h"

#include <vector>

#include "host/protocol/keymap.h"

namespace {

constexpr uint16_t kTab = 48, kSpace = 49, kDelete = 51, kCapsLock = 57, kFunction = 63;
constexpr uint16_t kLeft = 123, kRight = 124, kDown = 125, kUp = 126;
constexpr uint16_t kHome = 115, kEnd = 119, kForwardDelete = 117, kF4 = 118, kQ = 12, kW = 13;
constexpr uint8_t kCmd = 1, kCtrl = 2, kOpt = 4;

// Mac shortcuts to PC ones.
constexpr ShortcutRule kMacToPc[] = {
    {kCmd, kQ, kOpt, kF4},
    {kCmd, kSpace, 0, 55},
    {kCmd, kLeft, 0, kHome},
    {kCmd, kRight, 0, kEnd},
    {kCmd, kUp, kCtrl, kHome},
    {kCmd, kDown, kCtrl, kEnd},
    {kOpt, kLeft, kCtrl, kLeft},
    {kOpt, kRight, kCtrl, kRight},
    {kOpt, kDelete, kCtrl, kDelete},
    {kOpt, kForwardDelete, kCtrl, kForwardDelete},
};

// PC shortcuts to Mac ones.
constexpr ShortcutRule kPcToMac[] = {
    {kOpt, kF4, kCmd, kW},
    {0, kHome, kCmd, kLeft},
    {0, kEnd, kCmd, kRight},
    {kCtrl, kHome, kCmd, kUp},
    {kCtrl, kEnd, kCmd, kDown},
    {kCtrl, kLeft, kOpt, kLeft},
    {kCtrl, kRight, kOpt, kRight},
    {kCtrl, kDelete, kOpt, kDelete},
    {kCtrl, kForwardDelete, kOpt, kForwardDelete},
};
// Matches whatever modifiers are held, after every row above.
constexpr ShortcutRule kHangulToInputSwitch{0, keyHangul, kCtrl, kSpace};

// Control and Command trade places between the two kinds of keyboard.
uint16_t mappedModifier(int mode, uint16_t code) {
    if (mode == 0) return code;
    switch (code) {
        case 59: return 55;
        case 55: return 59;
        case 62: return 54;
        case 54: return 62;
        default: return code;
    }
}

}  // namespace

int ShortcutTranslator::modifierMask() const {
    int mask = 0;
    if (heldModifiers.count(55) || heldModifiers.count(54)) mask |= kCmd;
    if (heldModifiers.count(59) || heldModifiers.count(62)) mask |= kCtrl;
    if (heldModifiers.count(58) || heldModifiers.count(61)) mask |= kOpt;
    return mask;
}

void ShortcutTranslator::emit(uint16_t key, bool down, bool repeat) {
    if (output) output(key, down, repeat);
}

void ShortcutTranslator::setOutput(uint16_t code, bool down) {
    if (down) {
        if (!outputModifiers.insert(code).second) return;
    } else {
        if (outputModifiers.erase(code) == 0) return;
    }
    emit(code, down, false);
}

void ShortcutTranslator::applyDesired(const std::set<uint16_t>& desired) {
    const std::vector<uint16_t> current(outputModifiers.begin(), outputModifiers.end());
    for (uint16_t code : current)
        if (!desired.count(code)) setOutput(code, false);
    for (uint16_t code : desired)
        if (!outputModifiers.count(code)) setOutput(code, true);
}

void ShortcutTranslator::syncModifiers() {
    std::set<uint16_t> desired;
    for (uint16_t code : heldModifiers)
        if (code != kCapsLock && code != kFunction) desired.insert(mappedModifier(mode, code));
    applyDesired(desired);
}

void ShortcutTranslator::forceModifiers(int mask, bool keepShift) {
    std::set<uint16_t> desired;
    if (mask & kCmd) desired.insert(55);
    if (mask & kCtrl) desired.insert(59);
    if (mask & kOpt) desired.insert(58);
    if (keepShift) {
        if (heldModifiers.count(56)) desired.insert(56);
        if (heldModifiers.count(60)) desired.insert(60);
    }
    applyDesired(desired);
}

void ShortcutTranslator::tap(uint16_t code) {
    if (!output) return;
    output(code, true, false);
    output(code, false, false);
}

const ShortcutRule* ShortcutTranslator::findRule(uint16_t key) const {
    const int mask = modifierMask();
    if (mode == 1) {
        for (const ShortcutRule& r : kMacToPc)
            if (r.inKey == key && r.inMask == mask) return &r;
    } else if (mode == 2) {
        for (const ShortcutRule& r : kPcToMac)
            if (r.inKey == key && r.inMask == mask) return &r;
        if (key == kHangulToInputSwitch.inKey) return &kHangulToInputSwitch;
    }
    return nullptr;
}

void ShortcutTranslator::process(uint16_t key, bool down, bool repeat) {
    if (mode == 0) {
        if (isMacModifier(key)) {
            if (down) {
                heldModifiers.insert(key);
                outputModifiers.insert(key);
            } else {
                heldModifiers.erase(key);
                outputModifiers.erase(key);
            }
        } else if (down) {
            passedKeys.insert(key);
        } else {
            passedKeys.erase(key);
        }
        emit(key, down, repeat);
        return;
    }
    if (isMacModifier(key))
        processModifier(key, down);
    else
        processKey(key, down, repeat);
}

void ShortcutTranslator::processKey(uint16_t k, bool down, bool repeat) {
    pendingLoneKey = 0;
    if (switcherLatched) {
        // Tab, arrows, Escape and the like go through as they are while the switcher is open;
        // they are still tracked so that a release after the switcher closed is not lost.
        if (down) {
            passedKeys.insert(k);
            swallowedKeys.erase(k);
        } else {
            passedKeys.erase(k);
            swallowedKeys.erase(k);
        }
        emit(k, down, repeat);
        return;
    }
    if (!down) {
        if (swallowedKeys.erase(k)) return;
        if (passedKeys.erase(k)) emit(k, false, false);
        return;
    }
    const int mask = modifierMask();
    if (k == kTab && ((mode == 1 && mask == kCmd) || (mode == 2 && mask == kOpt))) {
        switcherLatched = true;
        forceModifiers(mode == 1 ? kOpt : kCmd, true);
        emit(kTab, true, false);
        passedKeys.insert(kTab);
        return;
    }
    const ShortcutRule* rule = findRule(k);
    if (!rule) {
        if (swallowedKeys.count(k)) return;  // a repeat of a key consumed earlier
        passedKeys.insert(k);
        emit(k, true, repeat);
        return;
    }
    // A key already down at the output (pressed before the modifier, now auto-repeating) is let
    // go before the rule takes it over; otherwise its release would be swallowed and it stays down.
    if (passedKeys.erase(k)) emit(k, false, false);
    swallowedKeys.insert(k);
    forceModifiers(rule->outMask, true);
    tap(rule->outKey);
    syncModifiers();
}

void ShortcutTranslator::processModifier(uint16_t k, bool down) {
    if (k == kFunction) return;
    if (k == kCapsLock) {
        if (mode == 1 && capsLockHangul) {
            if (down) tap(keyHangul);
        } else if (down) {
            // Tracked like a passed key, so that releaseAll and a change of mode let go of it.
            passedKeys.insert(kCapsLock);
            emit(kCapsLock, true, false);
        } else if (passedKeys.erase(kCapsLock)) {
            emit(kCapsLock, false, false);
        }
        return;
    }
    const int m0 = modifierMask();
    if (down)
        heldModifiers.insert(k);
    else
        heldModifiers.erase(k);

    if (down) {
        if (mode == 2 && (k == 54 || k == 55))
            pendingLoneKey = heldModifiers.size() == 1 ? k : 0;
        else
            pendingLoneKey = 0;
    }

    if (switcherLatched) {
        const int m1 = modifierMask();
        const int switcherBit = mode == 1 ? kCmd : kOpt;
        if ((m0 & switcherBit) && !(m1 & switcherBit)) {
            switcherLatched = false;
            syncModifiers();
        } else if (k == 56 || k == 60) {
            setOutput(k, down);
        }
        return;
    }
    syncModifiers();
    if (!down && k == pendingLoneKey) {
        // The Windows key pressed and released alone becomes Command+Space (Spotlight) on the Mac.
        pendingLoneKey = 0;
        forceModifiers(kCmd, false);
        tap(kSpace);
        syncModifiers();
    }
}

void ShortcutTranslator::releaseAll() {
    const std::vector<uint16_t> keys(passedKeys.begin(), passedKeys.end());
    const std::vector<uint16_t> mods(outputModifiers.begin(), outputModifiers.end());
    for (uint16_t k : keys) emit(k, false, false);
    for (uint16_t k : mods) {
        outputModifiers.erase(k);
        emit(k, false, false);
    }
    heldModifiers.clear();
    outputModifiers.clear();
    passedKeys.clear();
    swallowedKeys.clear();
    switcherLatched = false;
    pendingLoneKey = 0;
}

void ShortcutTranslator::setMode(int newMode) {
    if (newMode < 0 || newMode > 2 || newMode == mode) return;
    releaseAll();
    mode = newMode;
}
