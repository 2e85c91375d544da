// The system's side of the locked-screen login: the host's pipe writes, the service and its
// installation, and the agent's pipe server.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/text.h"
#include "host/desktop.h"
#include "host/hooks.h"
#include "host/lock.h"

namespace {

constexpr wchar_t kDisplayName[] = L"Tavrel 잠금 도우미";
constexpr wchar_t kDescription[] =
    L"화면이 잠겨 있을 때 Tavrel 원격 제어로 로그인 비밀번호를 넣습니다. 지우려면 Tavrel 설정에서 끕니다.";
// Interactive users may read and write messages and the pipe's attributes (its read mode), but
// not create instances (FILE_CREATE_PIPE_INSTANCE, part of generic write): a user of another
// session could otherwise take every free instance and leave the agent none to serve with.
constexpr wchar_t kPipeSecurity[] = L"D:(A;;0x100183;;;IU)(A;;GA;;;SY)";
// What the host's end asks for: writing, and the attributes that set its read mode. An inbound
// pipe's client may not ask to read data.
constexpr DWORD kPipeClientRights = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr int kBusyRetryMs = 200;
constexpr int kServiceGoneMs = 15000;  // uninstalling: how long the service may take to stop and go
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

struct ServiceHandle {
    SC_HANDLE h = nullptr;
    explicit ServiceHandle(SC_HANDLE value) : h(value) {}
    ~ServiceHandle() {
        if (h) CloseServiceHandle(h);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
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

std::string sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
    std::string out = wideToUtf8(text);
    LocalFree(text);
    return out;
}

// The owner and access list of a file or folder; nothing when they cannot be read.
std::optional<ObjectSecurity> readSecurity(const std::wstring& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return std::nullopt;
    ObjectSecurity security;
    security.owner = sidText(owner);
    security.hasAccessList = dacl != nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            entry.mask = allowed->Mask;
            entry.sid = sidText(const_cast<DWORD*>(&allowed->SidStart));
        } else {
            // An entry of another kind is not read: it counts as a grant of everything to someone.
            entry.allow = true;
            entry.mask = GENERIC_ALL;
        }
        security.entries.push_back(std::move(entry));
    }
    LocalFree(descriptor);
    return security;
}

void showUnsafeService(const std::wstring& path) {
    MessageBoxW(nullptr, unsafeServiceText(path).c_str(), L"Tavrel", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
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

// An agent as SYSTEM in the session, on the secure desktop; null when it could not start.
HANDLE startAgent(DWORD session) {
    const std::wstring executable = ownExecutablePath();
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

int installService() {
    // The resolved path is both checked and stored: a junction in the path it was started by
    // could later be pointed elsewhere.
    const std::wstring executable = resolvedExecutablePath();
    if (executable.empty()) {
        if (!ownExecutablePath().empty()) showUnsafeService(ownExecutablePath());
        return 2;
    }
    const std::wstring unsafe = hostHooks().unsafeServicePath(executable);
    if (!unsafe.empty()) {
        showUnsafeService(unsafe);
        return 2;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return 1;
    const std::wstring commandLine = lockServiceCommandLine(executable);
    SC_HANDLE created = CreateServiceW(manager.h, kLockServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    bool existed = false;
    if (!created && GetLastError() == ERROR_SERVICE_EXISTS) {
        created = OpenServiceW(manager.h, kLockServiceName, SERVICE_ALL_ACCESS);
        existed = true;
    }
    ServiceHandle service(created);
    if (!service) return 2;
    // An existing service would otherwise keep running whatever path it had, checked or not.
    if (existed && !ChangeServiceConfigW(service.h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
                                         nullptr, nullptr, kDisplayName)) {
        logLine("잠금 도우미: 있던 서비스의 실행 경로를 바꾸지 못함 (오류 " + std::to_string(GetLastError()) + ")");
        return 2;
    }

    std::wstring description = kDescription;
    SERVICE_DESCRIPTIONW describe{description.data()};
    ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, &describe);
    SC_ACTION actions[2] = {{SC_ACTION_RESTART, 3000}, {SC_ACTION_RESTART, 10000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 86400;
    failure.cActions = 2;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    StartServiceW(service.h, 0, nullptr);
    return 0;
}

int uninstallService() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 1;
    // A running service is removed only once it has stopped and its last handle is closed; the
    // tray asks right after this process ends whether it is gone, so wait for that, patiently
    // (a loaded machine stops services slowly) but within a bound.
    const int64_t deadline = nowNanos() + int64_t(kServiceGoneMs) * 1'000'000;
    {
        ServiceHandle service(OpenServiceW(manager.h, kLockServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (!service) return 0;
        SERVICE_STATUS status{};
        ControlService(service.h, SERVICE_CONTROL_STOP, &status);
        DeleteService(service.h);
        while (nowNanos() < deadline && QueryServiceStatus(service.h, &status) &&
               status.dwCurrentState != SERVICE_STOPPED)
            Sleep(50);
    }
    while (nowNanos() < deadline) {
        ServiceHandle still(OpenServiceW(manager.h, kLockServiceName, SERVICE_QUERY_STATUS));
        if (!still) break;
        Sleep(50);
    }
    return 0;
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

// ---- Host process ----

std::wstring ownExecutablePath() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return completeModulePath(buffer, n, MAX_PATH);
}

std::wstring resolvedExecutablePath() {
    const std::wstring started = ownExecutablePath();
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

bool processRunsAsSystem(unsigned long pid) {
    if (pid == 0) return false;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process)
        if (const std::optional<bool> system = tokenIsSystem(process.h)) return *system;
    // A user who is not an administrator may not read a SYSTEM process's token; the terminal
    // services' process list names every process's user to anyone.
    WTS_PROCESS_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) return false;
    bool system = false;
    for (DWORD i = 0; i < count; ++i)
        if (list[i].ProcessId == pid) system = list[i].pUserSid && IsWellKnownSid(list[i].pUserSid, WinLocalSystemSid);
    WTSFreeMemory(list);
    return system;
}

bool lockPipeServedBySystem(void* pipe) {
    ULONG pid = 0;
    return GetNamedPipeServerProcessId(static_cast<HANDLE>(pipe), &pid) && processRunsAsSystem(pid);
}

void sendLockMessage(ByteSpan message) {
    const std::wstring name = lockPipeName(ownSession());
    const int64_t deadline = nowNanos() + int64_t(kBusyRetryMs) * 1'000'000;
    Handle pipe;
    for (;;) {
        // At identification level: a server that is not the agent learns who writes, but cannot
        // act as this user.
        pipe.reset(CreateFileW(name.c_str(), kPipeClientRights, 0, nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe) break;
        // Every instance busy: the agent is taking the message before; wait a little for it.
        if (GetLastError() != ERROR_PIPE_BUSY) return;
        const int64_t left = (deadline - nowNanos()) / 1'000'000;
        if (left <= 0) return;
        WaitNamedPipeW(name.c_str(), DWORD(left));
    }
    // Whoever else serves this pipe name must not read what is typed into the lock screen.
    if (!hostHooks().lockPipeServedBySystem(pipe.h)) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.h, &mode, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(pipe.h, message.data(), DWORD(message.size()), &written, nullptr);
}

bool lockAgentPresent() {
    // The agent keeps a free instance listening while it reads a client, so a pipe whose
    // instances all stay busy is held by others: messages could not reach the agent.
    return WaitNamedPipeW(lockPipeName(ownSession()).c_str(), 50) != FALSE;
}

bool lockServiceInstalled() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.h, kLockServiceName, SERVICE_QUERY_STATUS));
    return bool(service);
}

std::wstring unsafeServicePathOf(const std::wstring& executable) {
    const std::vector<std::wstring> paths = pathFromRoot(executable);
    if (paths.empty()) return executable.empty() ? std::wstring(L"?") : executable;
    std::vector<PathStep> steps;
    for (const std::wstring& path : paths) {
        PathStep step;
        step.path = path;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        step.reparsePoint = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        step.security = readSecurity(path);
        steps.push_back(std::move(step));
    }
    return firstUnsafeStep(steps);
}

void toggleLockService() {
    const bool installed = lockServiceInstalled();
    // The elevated installer runs the very file that was checked.
    const std::wstring executable = installed ? ownExecutablePath() : resolvedExecutablePath();
    if (!installed) {
        // Refused here already, before the user is asked for elevation.
        const std::wstring unsafe =
            !executable.empty() ? hostHooks().unsafeServicePath(executable)
            : !ownExecutablePath().empty() ? ownExecutablePath()  // not on a drive: a share, say
                                           : std::wstring(L"(프로그램 경로가 너무 깁니다)");
        if (!unsafe.empty()) {
            showUnsafeService(unsafe);
            return;
        }
        const wchar_t* question =
            L"이 PC 화면이 잠겨 있을 때 원격에서 비밀번호를 넣어 로그인할 수 있게 합니다.\n\n"
            L"관리자 권한으로 작은 서비스(Tavrel 잠금 도우미)를 설치합니다. 도우미는 화면이 잠겨 있을 때만, 이 PC 의 "
            L"Tavrel 가 보낸 키 입력을 잠금 화면에 넣습니다.\n\n설치할까요?";
        if (MessageBoxW(nullptr, question, L"잠긴 화면에서도 로그인 허용",
                        MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
            return;
    }
    SHELLEXECUTEINFOW run{};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS;
    run.lpVerb = L"runas";
    run.lpFile = executable.c_str();
    run.lpParameters = installed ? L"--lock-service uninstall" : L"--lock-service install";
    run.nShow = SW_HIDE;
    if (!ShellExecuteExW(&run)) return;
    if (run.hProcess) {
        WaitForSingleObject(run.hProcess, 20000);
        CloseHandle(run.hProcess);
    }
    const bool nowInstalled = lockServiceInstalled();
    configStore().update([&](AppConfig& c) { c.lockLogin = nowInstalled; });
    MessageBoxW(nullptr, lockToggleResultText(installed, nowInstalled).c_str(), L"Tavrel", MB_OK | MB_ICONINFORMATION);
}

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
            exitCode = installService();
            return true;
        case LockCommand::Uninstall:
            exitCode = uninstallService();
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
        for (;;) {
            OVERLAPPED io{};
            io.hEvent = event.h;
            DWORD got = 0, error = 0;
            const BOOL started = ReadFile(pipe, buffer, sizeof buffer, &got, &io);
            if (!finishIo(pipe, io, started, stopEvent.h, kClientReadMs, got, error)) break;
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
    return hooks;
}

int agentMain() {
    static LockAgent agent(systemAgentHooks());
    if (!agent.start()) return 1;
    for (;;) Sleep(INFINITE);
}
