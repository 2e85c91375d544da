// The system's side of input injection: SendInput, the virtual-screen metrics and the lock.
#include <windows.h>

#include <vector>

#include "core/config/keys.h"
#include "core/util.h"
#include "host/input.h"

static_assert(InputRecord::kMouseMove == MOUSEEVENTF_MOVE && InputRecord::kLeftDown == MOUSEEVENTF_LEFTDOWN &&
              InputRecord::kLeftUp == MOUSEEVENTF_LEFTUP && InputRecord::kRightDown == MOUSEEVENTF_RIGHTDOWN &&
              InputRecord::kRightUp == MOUSEEVENTF_RIGHTUP && InputRecord::kMiddleDown == MOUSEEVENTF_MIDDLEDOWN &&
              InputRecord::kMiddleUp == MOUSEEVENTF_MIDDLEUP && InputRecord::kXDown == MOUSEEVENTF_XDOWN &&
              InputRecord::kXUp == MOUSEEVENTF_XUP && InputRecord::kWheel == MOUSEEVENTF_WHEEL &&
              InputRecord::kHWheel == MOUSEEVENTF_HWHEEL && InputRecord::kVirtualDesk == MOUSEEVENTF_VIRTUALDESK &&
              InputRecord::kAbsolute == MOUSEEVENTF_ABSOLUTE && InputRecord::kXButton1 == XBUTTON1 &&
              InputRecord::kXButton2 == XBUTTON2);
static_assert(InputRecord::kKeyExtended == KEYEVENTF_EXTENDEDKEY && InputRecord::kKeyUp == KEYEVENTF_KEYUP &&
              InputRecord::kKeyUnicode == KEYEVENTF_UNICODE && InputRecord::kKeyScanCode == KEYEVENTF_SCANCODE &&
              InputRecord::kVkTab == VK_TAB && InputRecord::kVkReturn == VK_RETURN);

namespace {

class WinInputBackend : public InputBackend {
public:
    size_t send(std::span<const InputRecord> records) override {
        std::vector<INPUT> inputs(records.size());
        for (size_t i = 0; i < records.size(); ++i) {
            const InputRecord& r = records[i];
            INPUT& in = inputs[i];
            in = INPUT{};
            if (r.kind == InputRecord::Kind::Mouse) {
                in.type = INPUT_MOUSE;
                in.mi.dx = r.dx;
                in.mi.dy = r.dy;
                in.mi.mouseData = r.mouseData;
                in.mi.dwFlags = r.flags;
            } else {
                in.type = INPUT_KEYBOARD;
                in.ki.wVk = r.vk;
                in.ki.wScan = r.scan;
                in.ki.dwFlags = r.flags;
            }
        }
        if (inputs.empty()) return 0;
        const UINT sent = SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT));
        // Typed text may be a login password.
        wipeSecret(inputs.data(), inputs.size() * sizeof(INPUT));
        return sent;
    }

    uint32_t lastError() override { return GetLastError(); }

    VirtualScreen virtualScreen() override {
        return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    }

    void lockWorkStation() override {
        if (!LockWorkStation()) logLine("화면 잠금 실패 (오류 " + std::to_string(GetLastError()) + ")");
    }
};

}  // namespace

std::unique_ptr<InputBackend> makeSystemInputBackend() { return std::make_unique<WinInputBackend>(); }
