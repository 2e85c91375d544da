// The host session's receive side: the routing of the viewer's messages, and the handlers of
// input and of the desktop's services (clipboard, sound, curtain, power, wake, chat, lock screen,
// catalogue). Stream settings are handled beside the capture loop, file messages apart.
#include "host/session.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/config/keys.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/power.h"
#include "host/wake.h"

namespace {

const char* const kLocalCurtainRelease = "원격 PC 앞자리에서 화면 가리기를 풀었습니다";

const char* onOff(bool on) { return on ? "켬" : "끔"; }

}  // namespace

// ---- Input ----

void HostSession::withInput(const std::function<void()>& action) {
    std::lock_guard<std::mutex> lock(inputMutex_);
    if (stop_->load()) return;
    action();
}

void HostSession::keyEvent(const KeyEvent& event) {
    withInput([&] {
        if (event.kind == 0 || event.kind == 1) {
            translator_.process(event.code, event.kind == 1, event.repeat);
        } else if (event.kind == 2) {
            if (event.code == 63) return;  // Fn has no key on the PC
            if (event.code == 57) {
                // Caps Lock reports its state, not the key: each change is one press.
                translator_.process(57, true, false);
                translator_.process(57, false, false);
                return;
            }
            translator_.process(event.code, macModifierDown(event.code, event.flags), false);
        }
    });
}

// ---- Sound ----

void HostSession::setAudio(bool on) {
    std::lock_guard<std::mutex> lock(audioMutex_);
    if (!sound_) return;
    sound_->stop();
    if (!on || stop_->load()) return;
    const std::shared_ptr<SecureChannel> ch = channel();
    sound_->start([ch](const std::string& format) { ch->send(uint8_t(MsgType::AudioFormat), asBytes(format)); },
                  [ch](const std::vector<uint8_t>& frame) { ch->send(uint8_t(MsgType::AudioFrame), frame); });
}

// ---- Dispatcher ----

void HostSession::handle(unsigned char type, const std::vector<unsigned char>& payload) {
    try {
        // What a closing session still had in hand changes nothing. (Handlers that race with
        // close check again under the lock close takes for what they change.)
        if (stop_->load()) return;
        if (admitted_) admitted_(type);
        const MsgType t = MsgType(type);
        // An errand is admitted without a history record or a notice: it gets nothing else.
        if (wakeErrand() && t != MsgType::Ping && t != MsgType::WakeRequest) return;
        // Before anything decodes the payload: no type may be larger than what it can hold.
        if (!payloadGate_.admit(type, payload.size())) return;
        if (!wakeErrand() && toLockScreen(t, payload)) return;
        dispatch(t, payload);
    } catch (const std::exception& e) {
        logLine(std::string("메시지 처리 오류: ") + e.what());
    }
}

bool HostSession::toLockScreen(MsgType type, const std::vector<unsigned char>& payload) {
    if (type != MsgType::Key && type != MsgType::TypeText) return false;
    if (!hostHooks().desktopLocked() || !hostHooks().lockAgentPresent()) return false;
    if (type == MsgType::Key) {
        const KeyEvent e = decodeKeyEvent(payload);
        if (e.kind > 2) return true;
        const bool down = e.kind == 2 ? macModifierDown(e.code, e.flags) : e.kind == 1;
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return true;  // close released what was down; nothing more goes there
        sendLockKey(e.code, down);
        auto held = std::find(lockKeysDown_.begin(), lockKeysDown_.end(), e.code);
        if (down && held == lockKeysDown_.end()) lockKeysDown_.push_back(e.code);
        if (!down && held != lockKeysDown_.end()) lockKeysDown_.erase(held);
    } else {
        const std::string text = decodeText(MsgType::TypeText, payload);
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return true;
        sendLockText(text);
    }
    return true;
}

void HostSession::dispatch(MsgType type, const std::vector<unsigned char>& payload) {
    switch (type) {
    case MsgType::FrameAck:
    case MsgType::KeyFrameRequest:
    case MsgType::SelectDisplay:
    case MsgType::ViewSize:
    case MsgType::Quality:
    case MsgType::FocusWindow:
        handleStreamSetting(type, payload);
        break;
    case MsgType::Mouse:
    case MsgType::Wheel:
    case MsgType::Key:
    case MsgType::ReleaseAll:
    case MsgType::KeyCombo:
    case MsgType::TypeText:
    case MsgType::ShortcutMode:
        handleInput(type, payload);
        break;
    case MsgType::LockLogin:
        lockLogin(payload);
        break;
    case MsgType::AudioSwitch:
    case MsgType::Clipboard:
    case MsgType::CurtainSwitch:
    case MsgType::Power:
    case MsgType::WakeRequest:
    case MsgType::Chat:
        handleDesktopService(type, payload);
        break;
    case MsgType::Ping:
        sendMessage(MsgType::Pong, payload);
        break;
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAbort:
    case MsgType::FileAck:
    case MsgType::FileSaved:
    case MsgType::FileRefused:
        handleTransfer(type, payload);
        break;
    case MsgType::PasteFiles:
    case MsgType::ListFolder:
    case MsgType::SendFiles:
    case MsgType::SetDownloadFolder:
        handleFiles(type, payload);
        break;
    case MsgType::ListApps:
    case MsgType::LaunchProgram:
        handleCatalogue(type, payload);
        break;
    default:
        break;  // not a message the host takes
    }
}

// Mouse, wheel, keys, typed text and the shortcut translation, under the input mutex.
void HostSession::handleInput(MsgType type, const std::vector<unsigned char>& payload) {
    switch (type) {
    case MsgType::Mouse: {
        const MouseEvent e = MouseEvent::decode(payload);
        withInput([&] { injector_.mouse(e.action, e.button, e.x, e.y); });
        break;
    }
    case MsgType::Wheel: {
        const WheelEvent e = WheelEvent::decode(payload);
        withInput([&] { injector_.wheel(e.dx, e.dy, e.precise); });
        break;
    }
    case MsgType::Key:
        keyEvent(decodeKeyEvent(payload));
        break;
    case MsgType::ReleaseAll:
        withInput([&] {
            translator_.releaseAll();
            injector_.releaseAll();
        });
        break;
    case MsgType::KeyCombo: {
        const std::vector<uint16_t> codes = decodeKeyCombo(payload);
        withInput([&] { injector_.combo(codes); });
        break;
    }
    case MsgType::TypeText: {
        const std::string text = decodeText(MsgType::TypeText, payload);
        withInput([&] { injector_.typeText(text); });
        break;
    }
    case MsgType::ShortcutMode: {
        const bool on = decodeSwitch(payload);
        {
            std::lock_guard<std::mutex> lock(inputMutex_);
            translator_.setMode(on && request_.os == "mac" ? 1 : 0);
        }
        logLine(std::string("단축키 맞추기 ") + onOff(on));
        break;
    }
    default:
        break;
    }
}

// The clipboard, the sound, the curtain, restart and sleep, waking other machines and the chat.
void HostSession::handleDesktopService(MsgType type, const std::vector<unsigned char>& payload) {
    switch (type) {
    case MsgType::AudioSwitch: {
        const bool on = decodeSwitch(payload);
        {
            std::lock_guard<std::mutex> lock(audioMutex_);
            audioWish_ = on;
        }
        if (mediaOn_) setAudio(on);
        break;
    }
    case MsgType::Clipboard: {
        std::lock_guard<std::mutex> lock(clipboardMutex_);
        if (clipboard && !stop_->load()) system_->applyClipboard(payload);
        break;
    }
    case MsgType::CurtainSwitch:
        curtainSwitch(decodeSwitch(payload));
        break;
    case MsgType::Power: {
        const uint8_t action = decodeU8(payload);
        logLine(std::string(action == 1 ? "다시 시작" : "잠자기") + " 요청 (" + peerName() + ")");
        const std::shared_ptr<SecureChannel> ch = channel();
        post(powerWorker_, [ch, action] {
            std::string failure;
            if (action == 1) failure = restartPc();
            else if (action == 2) failure = sleepPc();
            if (!failure.empty()) ch->send(uint8_t(MsgType::Notice), asBytes(failure));
        });
        break;
    }
    case MsgType::WakeRequest: {
        Json targets;
        if (!decodeWakeRequest(payload, targets)) break;
        const int sent = sendWakeOnLan(targets);
        logLine("깨우기 신호 보냄 (" + peerName() + "): " + std::to_string(sent) + "번");
        notice(sent > 0 ? "깨우기 신호를 보냈습니다" : "깨우기 신호를 보내지 못했습니다");
        break;
    }
    case MsgType::Chat:
        chatLine(decodeText(MsgType::Chat, payload));
        break;
    default:
        break;
    }
}

void HostSession::lockLogin(const std::vector<unsigned char>& payload) {
    std::string password = decodeText(MsgType::LockLogin, payload);
    struct Wipe {
        std::string& text;
        ~Wipe() { wipeSecret(text.data(), text.size()); }
    } wipe{password};
    HostHooks& hooks = hostHooks();
    if (!hooks.lockServiceInstalled()) {
        notice("원격 PC 에서 '잠긴 화면에서도 로그인 허용' 을 켜야 합니다");
    } else if (!hooks.desktopLocked()) {
        notice("원격 PC 화면이 잠겨 있지 않습니다");
    } else if (!hooks.lockAgentPresent()) {
        notice("원격 PC 의 잠금 도우미가 응답하지 않습니다");
    } else {
        std::lock_guard<std::mutex> lock(inputMutex_);
        if (stop_->load()) return;  // nothing goes to the helper once the session stops
        logLine("잠긴 화면 로그인 요청 (" + peerName() + ")");
        sendLockPassword(password);
    }
}

void HostSession::curtainSwitch(bool on) {
    std::weak_ptr<HostSession> weak = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(curtainMutex_);
        // After close a late switch changes nothing: neither the curtain nor the live session's
        // release callback.
        if (stop_->load()) return;
        system_->setCurtainRelease([weak] {
            if (std::shared_ptr<HostSession> self = weak.lock())
                if (!self->stopped()) self->notice(kLocalCurtainRelease);
        });
        system_->setCurtain(on);
        raisedCurtain_ = on;
    }
    logLine(std::string("화면 가리기 ") + onOff(on) + " (" + peerName() + ")");
}

void HostSession::chatLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(chatMutex_);
    if (stop_->load()) return;  // no window opens for a session that has ended
    if (!chat_) makeChatLocked();
    if (chat_) chat_->received(text);
}

// ---- Catalogue ----

void HostSession::handleCatalogue(MsgType type, const std::vector<unsigned char>& payload) {
    switch (type) {
    case MsgType::ListApps:
        requestCatalogue();
        break;
    case MsgType::LaunchProgram: {
        const std::string id = decodeText(MsgType::LaunchProgram, payload);
        std::shared_ptr<HostSession> self = shared_from_this();
        post(launchWorker_, [self, id] { self->launchFromCatalogue(id); });
        break;
    }
    default:
        break;
    }
}

void HostSession::requestCatalogue() {
    std::shared_ptr<HostSession> self = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(catalogueMutex_);
        if (catalogueRunning_) {
            // The running one sends once more when it is done, so the newest state goes out.
            catalogueAgain_ = true;
            return;
        }
        catalogueRunning_ = true;
    }
    try {
        startDetached([self] {
            for (;;) {
                try {
                    self->sendAppList();
                } catch (const std::exception& e) {
                    logLine(std::string("프로그램 목록 오류: ") + e.what());
                }
                std::lock_guard<std::mutex> lock(self->catalogueMutex_);
                if (!self->catalogueAgain_ || self->stopped()) {
                    self->catalogueRunning_ = false;
                    self->catalogueAgain_ = false;
                    return;
                }
                self->catalogueAgain_ = false;
            }
        });
    } catch (...) {
        std::lock_guard<std::mutex> lock(catalogueMutex_);
        catalogueRunning_ = false;
        throw;
    }
}

void HostSession::sendAppList() { system_->sendAppList(*this); }

void HostSession::launchFromCatalogue(const std::string& id) { system_->launchFromCatalogue(*this, id); }
