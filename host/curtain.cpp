#include "host/curtain.h"

CurtainKeyAction CurtainKeys::onKey(uint32_t virtualKey, bool down, bool injected) {
    // The viewer's input is injected and must reach the desktop.
    if (injected) return CurtainKeyAction::Pass;
    switch (virtualKey) {
        case kControl:
        case kLeftControl:
        case kRightControl:
            ctrl_ = down;
            break;
        case kAlt:
        case kLeftAlt:
        case kRightAlt:
            alt_ = down;
            break;
        case kEscape:
            if (down && ctrl_ && alt_) {
                // Once: a held Esc repeats, and each repeat would lift (and report) again.
                reset();
                return CurtainKeyAction::Release;
            }
            break;
        default:
            break;
    }
    return CurtainKeyAction::Swallow;
}

void CurtainKeys::reset() {
    ctrl_ = false;
    alt_ = false;
}
