// The system's side of the locked-screen login: the host's pipe writes, the service and its
// installation, and the agent's pipe server.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>

#include "core/config/keys.h"
#include "core/text.h"
#include "host/desktop.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/lock_win.h"

namespace {

using lockwin::ServiceHandle;
using lockwin::resolvedPathOf;
using lockwin::sidText;

// Owned by SYSTEM, which the host reads back: nobody but an administrator can make a pipe of that
// name with that owner. Interactive users may read and write messages, the pipe's attributes (its
// read mode) and its owner, but not create instances (FILE_CREATE_PIPE_INSTANCE, part of generic
// write): a user of another session could otherwise take every free instance.
constexpr wchar_t kPipeSecurity[] = L"O:SYD:(A;;0x120183;;;IU)(A;;GA;;;SY)";
// What the host's end asks for: writing, the attributes that set its read mode, and the owner.
// An inbound pipe's client may not ask to read data.
constexpr DWORD kPipeClientRights =
    FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE | READ_CONTROL;
constexpr int kBusyRetryMs = 200;
// A connected client that sends nothing for this long is dropped, so it cannot hold up others.
constexpr DWORD kClientReadMs = 2000;
constexpr size_t kQueueLimit = 256;

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value == INVALID_HANDLE_VALUE ? nullptr : value) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset(HANDLE value = nullptr) {
        if (h) CloseHandle(h);
        h = value == INVALID_HANDLE_VALUE ? nullptr : value;
    }
    HANDLE release() {
        HANDLE v = h;
        h = nullptr;
        return v;
    }
    explicit operator bool() const { return h != nullptr; }
};

DWORD ownSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// Whether the process's token is LocalSystem's; nothing when the token cannot be read.
std::optional<bool> tokenIsSystem(HANDLE process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return std::nullopt;
    Handle token(raw);
    alignas(8) BYTE buffer[256];
    DWORD size = 0;
    if (!GetTokenInformation(token.h, TokenUser, buffer, sizeof buffer, &size)) return std::nullopt;
    return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
}

std::wstring processImage(HANDLE process) {
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) return {};
    return std::wstring(path, size);
}

bool sameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// The user and integrity level of a token; empty fields for what cannot be read.
PipeClientIdentity tokenIdentity(HANDLE token) {
    PipeClientIdentity identity;
    alignas(8) BYTE buffer[256];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        identity.user = sidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        if (label && IsValidSid(label) && *GetSidSubAuthorityCount(label) > 0)
            identity.integrity = *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1);
    }
    return identity;
}

// ---- Service ----

struct ServiceState {
    SERVICE_STATUS_HANDLE status = nullptr;
    HANDLE stopEvent = nullptr;
    HANDLE sessionEvent = nullptr;
};
ServiceState gService;

void reportService(DWORD state, DWORD accepted) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = accepted;
    s.dwWin32ExitCode = NO_ERROR;
    SetServiceStatus(gService.status, &s);
}

DWORD WINAPI lockServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        reportService(SERVICE_STOP_PENDING, 0);
        SetEvent(gService.stopEvent);
    } else if (control == SERVICE_CONTROL_SESSIONCHANGE) {
        SetEvent(gService.sessionEvent);
    }
    return NO_ERROR;
}

bool gAgentPlaceRefused = false;  // logged once per run of refusals

// This executable, resolved, when its place is still safe: what was judged at install may have
// changed since (a folder's rights, a volume swapped).
std::wstring checkedAgentExecutable() {
    const std::wstring executable = resolvedExecutablePath();
    const std::wstring unsafe = executable.empty() ? ownExecutablePath() : hostHooks().unsafeServicePath(executable);
    if (executable.empty() || !unsafe.empty()) {
        if (!gAgentPlaceRefused)
            logLine("잠금 도우미: 프로그램 위치를 관리자가 아닌 사용자도 바꿀 수 있어 에이전트를 시작하지 않음: " +
                    wideToUtf8(unsafe.empty() ? std::wstring(L"?") : unsafe));
        gAgentPlaceRefused = true;
        return {};
    }
    gAgentPlaceRefused = false;
    return executable;
}

// An agent as SYSTEM in the session, on the secure desktop; null when it could not start.
HANDLE startAgent(DWORD session) {
    const std::wstring executable = checkedAgentExecutable();
    if (executable.empty()) return nullptr;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw)) return nullptr;
    Handle own(raw);
    HANDLE duplicated = nullptr;
    if (!DuplicateTokenEx(own.h, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &duplicated))
        return nullptr;
    own.reset();
    Handle primary(duplicated);
    SetTokenInformation(primary.h, TokenSessionId, &session, sizeof session);
    std::wstring commandLine = lockAgentCommandLine(executable);
    wchar_t desktop[] = L"winsta0\\winlogon";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(primary.h, nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                              nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

void WINAPI lockServiceMain(DWORD, LPWSTR*) {
    gService.status = RegisterServiceCtrlHandlerExW(kLockServiceName, lockServiceControl, nullptr);
    if (!gService.status) return;
    Handle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle sessionEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    gService.stopEvent = stopEvent.h;
    gService.sessionEvent = sessionEvent.h;
    if (!stopEvent || !sessionEvent) {
        reportService(SERVICE_STOPPED, 0);
        return;
    }
    reportService(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE);

    Handle agent;
    DWORD agentSession = 0;
    const HANDLE events[2] = {stopEvent.h, sessionEvent.h};
    for (;;) {
        const DWORD active = WTSGetActiveConsoleSessionId();
        const std::optional<uint32_t> console =
            active == 0xFFFFFFFF ? std::nullopt : std::optional<uint32_t>(active);
        const bool running = agent && WaitForSingleObject(agent.h, 0) == WAIT_TIMEOUT;
        switch (nextAgentStep(bool(agent), running, console, agentSession)) {
            case AgentStep::Keep:
                break;
            case AgentStep::Replace:
                TerminateProcess(agent.h, 0);
                [[fallthrough]];
            case AgentStep::Start:
                agent.reset(startAgent(*console));
                // Also after a failed start, so that the next pass tries again.
                agentSession = *console;
                break;
            case AgentStep::Drop:
                agent.reset();
                break;
        }
        if (WaitForMultipleObjects(2, events, FALSE, 5000) == WAIT_OBJECT_0) break;
    }
    if (agent) TerminateProcess(agent.h, 0);
    agent.reset();
    reportService(SERVICE_STOPPED, 0);
}

int runService() {
    wchar_t name[] = L"TavrelLock";
    SERVICE_TABLE_ENTRYW table[] = {{name, lockServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

// Waits for an overlapped operation on a pipe. False when it was abandoned (stop or time-out);
// otherwise `error` holds its result (0 on success) and `transferred` its byte count.
bool finishIo(HANDLE pipe, OVERLAPPED& io, BOOL started, HANDLE stop, DWORD timeoutMs, DWORD& transferred,
              DWORD& error) {
    if (!started) {
        error = GetLastError();
        if (error != ERROR_IO_PENDING) return true;
        const HANDLE waits[2] = {stop, io.hEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) != WAIT_OBJECT_0 + 1) {
            CancelIoEx(pipe, &io);
            GetOverlappedResult(pipe, &io, &transferred, TRUE);
            return false;
        }
    }
    error = GetOverlappedResult(pipe, &io, &transferred, FALSE) ? 0 : GetLastError();
    return true;
}

}  // namespace

namespace lockwin {

std::string sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
    std::string out = wideToUtf8(text);
    LocalFree(text);
    return out;
}

// A path with every junction and link resolved, as a drive path; empty when it cannot be.
std::wstring resolvedPathOf(const std::wstring& started) {
    if (started.empty()) return {};
    // The file itself, through whatever junctions or links the path holds at this moment.
    Handle file(CreateFileW(started.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    // Room for the "\\?\" prefix besides a path that fits MAX_PATH.
    wchar_t buffer[MAX_PATH + 8];
    const DWORD n = GetFinalPathNameByHandleW(file.h, buffer, DWORD(std::size(buffer)), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= std::size(buffer)) return {};
    const std::wstring path = drivePathOfFinalPath(std::wstring(buffer, n));
    return path.size() < MAX_PATH ? path : std::wstring();
}

}  // namespace lockwin

// ---- Host process ----

std::wstring ownExecutablePath() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return completeModulePath(buffer, n, MAX_PATH);
}

namespace {

// The lock pipe of this session, waiting for a busy one within the time given; null when there
// is none. At identification level: a server that is not the agent learns who opens it, but
// cannot act as this user.
HANDLE openLockPipe(DWORD rights, int waitMs) {
    const std::wstring name = lockPipeName(ownSession());
    const int64_t deadline = nowNanos() + int64_t(waitMs) * 1'000'000;
    for (;;) {
        HANDLE pipe = CreateFileW(name.c_str(), rights, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        // Every instance busy: the agent is taking a message before; wait a little for it.
        if (GetLastError() != ERROR_PIPE_BUSY) return nullptr;
        const int64_t left = (deadline - nowNanos()) / 1'000'000;
        if (left <= 0) return nullptr;
        WaitNamedPipeW(name.c_str(), DWORD(left));
    }
}

}  // namespace

std::wstring resolvedExecutablePath() { return resolvedPathOf(ownExecutablePath()); }

bool lockPipeOwnedBySystem(void* pipe) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(static_cast<HANDLE>(pipe), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool trusted = lockPipeOwnerTrusted(sidText(owner));
    LocalFree(descriptor);
    return trusted;
}

void sendLockMessage(ByteSpan message) {
    Handle pipe(openLockPipe(kPipeClientRights, kBusyRetryMs));
    // Whoever else made a pipe of this name must not read what is typed into the lock screen.
    if (!pipe || !hostHooks().lockPipeOwnedBySystem(pipe.h)) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.h, &mode, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(pipe.h, message.data(), DWORD(message.size()), &written, nullptr);
}

bool lockAgentPresent() {
    // The agent keeps a free instance listening while it reads a client, so a pipe whose
    // instances all stay busy is held by others: messages could not reach the agent. Nor could
    // they reach it behind a pipe someone else made first.
    Handle pipe(openLockPipe(READ_CONTROL, 50));
    return pipe && hostHooks().lockPipeOwnedBySystem(pipe.h);
}

bool lockServiceInstalled() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.h, kLockServiceName, SERVICE_QUERY_STATUS));
    return bool(service);
}

void* startLockAgentProcess(uint32_t session) { return startAgent(session); }

bool runLockCommand(int argc, wchar_t** argv, int& exitCode) {
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : L"");
    switch (lockCommandOf(args)) {
        case LockCommand::None:
            return false;
        case LockCommand::Agent:
            exitCode = agentMain();
            return true;
        case LockCommand::Install:
            exitCode = lockwin::installService();
            return true;
        case LockCommand::Uninstall:
            exitCode = lockwin::uninstallService();
            return true;
        case LockCommand::Run:
            exitCode = runService();
            return true;
        case LockCommand::Other:
            exitCode = 0;
            return true;
    }
    return false;
}

// ---- Agent ----

struct LockAgent::State {
    AgentHooks hooks;
    DWORD session = 0;
    std::wstring pipeName;
    std::wstring image;
    Handle stopEvent;
    std::thread acceptThread;
    std::thread injectThread;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Bytes> queue;
    bool stopping = false;

    HANDLE createInstance(bool first) {
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof attributes;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr))
            return nullptr;
        attributes.lpSecurityDescriptor = descriptor;
        // The first instance must be ours: a pipe of that name made by someone else fails it.
        const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       4, 0, DWORD(kLockMessageMax), 0, &attributes);
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        SetLastError(error);
        return pipe == INVALID_HANDLE_VALUE ? nullptr : pipe;
    }

    // The client's user and integrity, identified once it has written (the system lets a server
    // identify its client only after a read); nothing when it cannot be.
    std::optional<PipeClientIdentity> clientIdentity(HANDLE pipe) {
        if (!ImpersonateNamedPipeClient(pipe)) return std::nullopt;
        HANDLE raw = nullptr;
        const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
        RevertToSelf();
        if (!opened) return std::nullopt;
        Handle token(raw);
        return tokenIdentity(token.h);
    }

    bool clientTrusted(HANDLE pipe) {
        const std::optional<PipeClientIdentity> client = clientIdentity(pipe);
        return client && lockClientTrusted(*client, hooks.sessionUser ? hooks.sessionUser() : std::string());
    }

    // Only this program, from this session, may type into the lock screen.
    bool clientAllowed(HANDLE pipe) {
        ULONG clientSession = 0, pid = 0;
        if (!GetNamedPipeClientSessionId(pipe, &clientSession) || clientSession != session) return false;
        if (!GetNamedPipeClientProcessId(pipe, &pid)) return false;
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process) return false;
        const std::wstring clientImage = processImage(process.h);
        return !clientImage.empty() && sameText(clientImage, image);
    }

    void enqueue(const uint8_t* data, size_t size) {
        std::lock_guard lock(mutex);
        if (queue.size() >= kQueueLimit) return;
        queue.emplace_back(data, data + size);
        wake.notify_one();
    }

    // Reads the client's messages until it closes, goes quiet or the agent stops.
    void readClient(HANDLE pipe) {
        Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return;
        uint8_t buffer[kLockMessageMax];
        bool discarding = false;  // the rest of a message too long to take
        bool identified = false;
        for (;;) {
            OVERLAPPED io{};
            io.hEvent = event.h;
            DWORD got = 0, error = 0;
            const BOOL started = ReadFile(pipe, buffer, sizeof buffer, &got, &io);
            if (!finishIo(pipe, io, started, stopEvent.h, kClientReadMs, got, error)) break;
            if (!identified && (error == 0 || error == ERROR_MORE_DATA) && got > 0) {
                // Any process of the session may run this program's image, under another account
                // too (runas) or sandboxed: only the session's own user is served.
                if (!clientTrusted(pipe)) break;
                identified = true;
            }
            if (error == ERROR_MORE_DATA) {
                discarding = true;
            } else if (error != 0 || got == 0) {
                break;
            } else if (discarding) {
                discarding = false;
            } else {
                enqueue(buffer, got);
            }
        }
        wipeSecret(buffer, sizeof buffer);
    }

    void acceptLoop(HANDLE first) {
        Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        Handle listening(first);
        bool failing = false;  // logged once per run of failures
        while (event && WaitForSingleObject(stopEvent.h, 0) == WAIT_TIMEOUT) {
            if (!listening) {
                listening.reset(createInstance(true));
                if (!listening) {
                    const DWORD error = GetLastError();
                    if (!failing)
                        logLine("잠금 도우미: 파이프를 만들 수 없음 (오류 " + std::to_string(error) + ") → 2초 뒤 다시");
                    failing = true;
                    WaitForSingleObject(stopEvent.h, 2000);
                    continue;
                }
                if (failing) logLine("잠금 도우미: 파이프를 다시 만듦");
                failing = false;
            }
            OVERLAPPED io{};
            io.hEvent = event.h;
            DWORD unused = 0, error = 0;
            const BOOL started = ConnectNamedPipe(listening.h, &io);
            if (!finishIo(listening.h, io, started, stopEvent.h, INFINITE, unused, error)) break;
            // A client may connect, write and close before this instance was waited on: its
            // message is still there to read.
            if (error != 0 && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
                listening.reset();
                continue;
            }
            Handle client(listening.release());
            // Another instance listens while this client is read, so the next writer finds the
            // pipe busy at worst, never absent.
            listening.reset(createInstance(false));
            if (clientAllowed(client.h)) readClient(client.h);
            DisconnectNamedPipe(client.h);
        }
    }

    void injectLoop() {
        for (;;) {
            Bytes message;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] { return stopping || !queue.empty(); });
                if (stopping) break;
                message = std::move(queue.front());
                queue.pop_front();
            }
            handleLockMessage(message, hooks);
            wipeSecret(message.data(), message.size());
        }
        std::lock_guard lock(mutex);
        for (Bytes& m : queue) wipeSecret(m.data(), m.size());
        queue.clear();
    }
};

LockAgent::LockAgent(AgentHooks hooks) : state_(std::make_unique<State>()) { state_->hooks = std::move(hooks); }

LockAgent::~LockAgent() { stop(); }

bool LockAgent::start() {
    State& s = *state_;
    if (s.acceptThread.joinable()) return true;
    if (!s.hooks.runningAsSystem()) {
        logLine("잠금 도우미: SYSTEM 계정이 아니라서 입력을 받지 않음");
        return false;
    }
    s.session = ownSession();
    s.pipeName = lockPipeName(s.session);
    s.image = processImage(GetCurrentProcess());
    s.stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!s.stopEvent || s.image.empty()) return false;
    s.stopping = false;
    // The pipe exists when start returns; when it cannot be made yet, the loop tries again.
    HANDLE first = s.createInstance(true);
    s.injectThread = std::thread([&s] { s.injectLoop(); });
    s.acceptThread = std::thread([&s, first] { s.acceptLoop(first); });
    return true;
}

void LockAgent::stop() {
    State& s = *state_;
    if (!s.acceptThread.joinable()) return;
    SetEvent(s.stopEvent.h);
    s.acceptThread.join();
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.wake.notify_all();
    s.injectThread.join();
}

AgentHooks systemAgentHooks() {
    AgentHooks hooks;
    hooks.runningAsSystem = [] { return tokenIsSystem(GetCurrentProcess()).value_or(false); };
    hooks.sessionLocked = [] { return sessionLockState(ownSession()).value_or(false); };
    hooks.attachInputDesktop = []() -> std::optional<std::wstring> {
        HDESK desktop = OpenInputDesktop(0, FALSE, GENERIC_ALL);
        if (!desktop) return std::nullopt;
        SetThreadDesktop(desktop);
        std::optional<std::wstring> name = desktopName(desktop);
        CloseDesktop(desktop);
        return name;
    };
    hooks.inputBackend = [] { return makeSystemInputBackend(); };
    hooks.sessionUser = []() -> std::string {
        HANDLE raw = nullptr;
        if (!WTSQueryUserToken(ownSession(), &raw)) return {};
        Handle token(raw);
        return tokenIdentity(token.h).user;
    };
    return hooks;
}

int agentMain() {
    static LockAgent agent(systemAgentHooks());
    if (!agent.start()) return 1;
    for (;;) Sleep(INFINITE);
}
