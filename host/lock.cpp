#include "host/lock.h"

#include <algorithm>

#include "core/config/keys.h"
#include "host/hooks.h"

namespace {

constexpr uint16_t kMacSpace = 49;
constexpr uint16_t kMacReturn = 36;

Bytes typedMessage(uint8_t type, const std::string& text, size_t limit) {
    const size_t n = std::min(text.size(), limit);
    Bytes message;
    message.reserve(1 + n);
    message.push_back(type);
    message.insert(message.end(), text.begin(), text.begin() + ptrdiff_t(n));
    return message;
}

bool isWinlogon(const std::optional<std::wstring>& name) {
    static const std::wstring expected = L"winlogon";
    if (!name || name->size() != expected.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i) {
        wchar_t c = (*name)[i];
        if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
        if (c != expected[i]) return false;
    }
    return true;
}

// The lock is still on and this thread now feeds the secure desktop.
bool secureInput(const AgentHooks& hooks) { return hooks.sessionLocked() && isWinlogon(hooks.attachInputDesktop()); }

void pressAndRelease(InputInjector& injector, uint16_t code) {
    injector.key(code, true);
    injector.key(code, false);
}

// Everyone but these may be a user who could swap the file run as SYSTEM.
bool trustedSid(const std::string& sid) {
    return sid == "S-1-5-18"        // LocalSystem
           || sid == "S-1-5-32-544" // Administrators
           || sid == "S-1-5-80-956008885-3425901398-3246484806-3014226082-1702924829-1930491925";  // TrustedInstaller
}

// Write data or append (add a file or folder), delete, delete a child, change the access list or
// the owner, and the generic rights that include them.
constexpr uint32_t kChangeRights = 0x0002 | 0x0004 | 0x0040 | 0x00010000 | 0x00040000 | 0x00080000 | 0x10000000 |
                                   0x40000000 | 0x02000000;
// Add a file, delete a child, delete, change the access list or the owner, and generic write and
// all: what it takes to place a file beside a folder's entries (a library the service would load,
// a file its name could be made to resolve to), rename or replace an entry, or the folder itself.
// Adding a folder stays allowed: every user may make one at a volume's root.
constexpr uint32_t kRearrangeRights =
    0x0002 | 0x0040 | 0x00010000 | 0x00040000 | 0x00080000 | 0x10000000 | 0x40000000 | 0x02000000;
constexpr uint32_t kFixedDrive = 3;       // DRIVE_FIXED
constexpr uint32_t kMediumIntegrity = 0x2000;

bool onlyAdministratorsHold(const ObjectSecurity& security, uint32_t rights) {
    // The owner may always rewrite the access list.
    if (!trustedSid(security.owner)) return false;
    if (!security.hasAccessList) return false;
    // Deny entries are not weighed: a grant to anyone else counts even where a deny may cover it.
    return std::none_of(security.entries.begin(), security.entries.end(), [rights](const AccessEntry& e) {
        return e.allow && !e.inheritOnly && (e.mask & rights) != 0 && !trustedSid(e.sid);
    });
}

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

std::wstring lockPipeName(uint32_t session) { return L"\\\\.\\pipe\\TavrelLock-" + std::to_wstring(session); }

std::wstring lockServiceCommandLine(const std::wstring& executable) {
    return L"\"" + executable + L"\" --lock-service run";
}

std::wstring lockAgentCommandLine(const std::wstring& executable) { return L"\"" + executable + L"\" --lock-agent"; }

Bytes lockKeyMessage(uint16_t macCode, bool down) {
    return {kLockKeyMessage, uint8_t(macCode >> 8), uint8_t(macCode & 0xFF), uint8_t(down ? 1 : 0)};
}

Bytes lockTextMessage(const std::string& text) { return typedMessage(kLockTextMessage, text, kLockTextMax); }

Bytes lockPasswordMessage(const std::string& password) {
    return typedMessage(kLockPasswordMessage, password, kLockPasswordMax);
}

void sendLockKey(uint16_t macCode, bool down) { hostHooks().sendLockMessage(lockKeyMessage(macCode, down)); }

void sendLockText(const std::string& text) { hostHooks().sendLockMessage(lockTextMessage(text)); }

void sendLockPassword(const std::string& password) {
    Bytes message = lockPasswordMessage(password);
    hostHooks().sendLockMessage(message);
    wipeSecret(message.data(), message.size());
}

LockCommand lockCommandOf(const std::vector<std::wstring>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--lock-agent") return LockCommand::Agent;
        if (args[i] == L"--lock-service" && i + 1 < args.size()) {
            const std::wstring& word = args[i + 1];
            if (word == L"install") return LockCommand::Install;
            if (word == L"uninstall") return LockCommand::Uninstall;
            if (word == L"run") return LockCommand::Run;
            return LockCommand::Other;
        }
    }
    return LockCommand::None;
}

AgentStep nextAgentStep(bool agentKnown, bool agentRunning, std::optional<uint32_t> console, uint32_t agentSession) {
    if (agentKnown && agentRunning) {
        if (!console || *console == agentSession) return AgentStep::Keep;
        return AgentStep::Replace;
    }
    if (console) return AgentStep::Start;
    return agentKnown ? AgentStep::Drop : AgentStep::Keep;
}

bool handleLockMessage(ByteSpan message, const AgentHooks& hooks) {
    if (message.empty()) return false;
    const uint8_t type = message[0];
    if (type != kLockKeyMessage && type != kLockTextMessage && type != kLockPasswordMessage) return false;
    if (type == kLockKeyMessage && message.size() < 4) return false;
    if (!secureInput(hooks)) return false;

    InputInjector injector(hooks.inputBackend());
    if (type == kLockKeyMessage) {
        injector.key(uint16_t(message[1] << 8 | message[2]), message[3] != 0);
        return true;
    }
    std::string text(reinterpret_cast<const char*>(message.data()) + 1, message.size() - 1);
    if (type == kLockTextMessage) {
        injector.typeText(text);
        return true;
    }
    // Login: the space brings up the password field of the lock screen.
    pressAndRelease(injector, kMacSpace);
    sleepMs(hooks.loginWaitMs);
    // The user may have unlocked meanwhile: then the password would land in a window of theirs.
    bool typed = false;
    if (secureInput(hooks)) {
        injector.typeText(text);
        typed = true;
    }
    wipeSecret(text.data(), text.size());
    if (!typed) return false;
    sleepMs(hooks.returnWaitMs);
    if (!secureInput(hooks)) return false;
    pressAndRelease(injector, kMacReturn);
    return true;
}

std::wstring lockToggleResultText(bool wasInstalled, bool nowInstalled) {
    if (nowInstalled)
        return wasInstalled ? L"잠금 도우미를 지우지 못했습니다." : L"설치했습니다. 원격에서 잠긴 화면 로그인을 쓸 수 있습니다.";
    return wasInstalled ? L"잠금 도우미를 지웠습니다." : L"잠금 도우미를 설치하지 못했습니다.";
}

std::wstring unsafeServiceText(const std::wstring& path) {
    return L"잠금 도우미를 설치하지 않았습니다.\n\n" + path +
           L"\n\n이 위치는 관리자가 아닌 사용자도 바꿀 수 있어, 여기 있는 프로그램을 시스템 권한으로 실행하면 "
           L"위험합니다. Tavrel 를 관리자만 바꿀 수 있는 폴더(예: C:\\Program Files 아래)에 설치한 다음 다시 "
           L"켜 주세요.";
}

bool onlyAdministratorsMayChange(const ObjectSecurity& security) { return onlyAdministratorsHold(security, kChangeRights); }

bool onlyAdministratorsMayRearrange(const ObjectSecurity& security) {
    return onlyAdministratorsHold(security, kRearrangeRights);
}

std::wstring firstUnsafeStep(const std::vector<PathStep>& steps) {
    // At least a root, the program's folder (which may be the root) and the file.
    if (steps.size() < 2) return steps.empty() ? std::wstring(L"?") : steps.back().path;
    for (size_t i = 0; i < steps.size(); ++i) {
        const PathStep& step = steps[i];
        if (step.reparsePoint || !step.security) return step.path;
        // The file and its folder: whoever may add a file there may also place a library that
        // the service would load.
        const bool own = i + 2 >= steps.size();
        if (!(own ? onlyAdministratorsMayChange(*step.security) : onlyAdministratorsMayRearrange(*step.security)))
            return step.path;
    }
    return {};
}

std::wstring firstUnsafeStepOn(uint32_t driveType, const std::vector<PathStep>& steps) {
    if (driveType != kFixedDrive) return steps.empty() ? std::wstring(L"?") : steps.front().path;
    return firstUnsafeStep(steps);
}

std::wstring lockServiceExecutable(const std::wstring& commandLine) {
    static const std::wstring tail = L"\" --lock-service run";
    if (commandLine.size() <= 1 + tail.size() || commandLine[0] != L'"') return {};
    if (commandLine.compare(commandLine.size() - tail.size(), tail.size(), tail) != 0) return {};
    std::wstring path = commandLine.substr(1, commandLine.size() - 1 - tail.size());
    if (path.find(L'"') != std::wstring::npos) return {};
    return path;
}

bool lockPipeOwnerTrusted(const std::string& ownerSid) { return ownerSid == "S-1-5-18"; }

bool lockClientTrusted(const PipeClientIdentity& client, const std::string& sessionUser) {
    return !sessionUser.empty() && client.user == sessionUser && client.integrity >= kMediumIntegrity;
}

std::wstring drivePathOfFinalPath(const std::wstring& finalPath) {
    static const std::wstring prefix = L"\\\\?\\";
    std::wstring path = finalPath.rfind(prefix, 0) == 0 ? finalPath.substr(prefix.size()) : finalPath;
    if (path.size() < 3 || !isDriveLetter(path[0]) || path[1] != L':' || path[2] != L'\\') return {};
    return path;
}

std::vector<std::wstring> pathFromRoot(const std::wstring& drivePath) {
    if (drivePath.size() < 3 || !isDriveLetter(drivePath[0]) || drivePath[1] != L':' || drivePath[2] != L'\\')
        return {};
    std::vector<std::wstring> steps = {drivePath.substr(0, 3)};
    size_t start = 3;
    while (start < drivePath.size()) {
        size_t end = drivePath.find(L'\\', start);
        if (end == std::wstring::npos) end = drivePath.size();
        const std::wstring name = drivePath.substr(start, end - start);
        if (name.empty() || name == L"." || name == L".." || name.find(L'/') != std::wstring::npos) return {};
        steps.push_back(drivePath.substr(0, end));
        start = end + 1;
        // A trailing separator names no further component.
        if (end + 1 == drivePath.size()) return {};
    }
    return steps;
}

std::wstring completeModulePath(const wchar_t* buffer, uint32_t length, uint32_t capacity) {
    // A path that filled the buffer was cut: the service would run some other file.
    if (length == 0 || length >= capacity) return {};
    return std::wstring(buffer, length);
}
