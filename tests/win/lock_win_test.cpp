// The lock-screen login under Wine: the host's pipe writes against the agent's pipe server in
// this process, and the service installed and removed through the tray's switch. Wine never
// shows a locked session and runs nothing as LocalSystem, so the agent's view of the machine
// comes from the tests; Wine lets any process give its pipe the owner LocalSystem, which the
// in-process agent does as the real one does.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/config/store.h"
#include "core/system_library.h"
#include "core/text.h"
#include "core/util.h"
#include "host/lock.h"
#include "support/host_hooks.h"
#include "support/log_capture.h"
#include "support/message_box_win.h"
#include "support/process_job_win.h"
#include "support/recording_input.h"
#include "support/run_tool.h"
#include "support/wait.h"

namespace {

using R = InputRecord;

// Runs a program with arguments and returns its exit code; -1 when it did not start or end
// within the time. Whatever it leaves running is ended.
int runProgram(const std::wstring& exe, const std::wstring& arguments, int timeoutMs = 30000) {
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ProcessJob job;
    if (!job.start(exe, commandLine, 0, startup, process)) return -1;
    CloseHandle(process.hThread);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, DWORD(timeoutMs)) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    job.endAll();
    CloseHandle(process.hProcess);
    return int(code);
}

int runLockSwitches(const std::vector<std::wstring>& words) {
    std::vector<std::wstring> args = {L"tavrel.exe"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int exitCode = -7;
    if (!runLockCommand(int(argv.size()), argv.data(), exitCode)) return -8;
    return exitCode;
}

// The SID of this process's user.
std::string ownUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    alignas(8) BYTE buffer[256];
    DWORD size = 0;
    std::string sid;
    LPWSTR text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        sid = wideToUtf8(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

// The agent's pipe server in this process, seeing a locked session on the secure desktop with
// this process's user logged on.
class InProcessAgent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(sessionUser.empty());
        agent = std::make_unique<LockAgent>(agentHooks());
        ASSERT_TRUE(agent->start());
    }
    void TearDown() override { agent.reset(); }

    AgentHooks agentHooks() {
        AgentHooks h;
        h.runningAsSystem = [] { return true; };
        h.sessionLocked = [this] { return locked.load(); };
        h.attachInputDesktop = [] { return std::optional<std::wstring>(L"Winlogon"); };
        h.inputBackend = input.factory();
        h.sessionUser = [this] { return sessionUser; };
        h.loginWaitMs = 20;
        h.returnWaitMs = 5;
        return h;
    }

    ScopedHostHooks hooks;
    std::atomic<bool> locked{true};
    std::string sessionUser = ownUserSid();
    RecordingInput input;
    std::unique_ptr<LockAgent> agent;
};

TEST_F(InProcessAgent, HundredAlternatingKeysArriveCompleteAndInOrder) {
    RecordingInput expected;
    InputInjector reference(expected.backend());
    for (int i = 0; i < 100; ++i) {
        const uint16_t code = uint16_t((i / 2) % 10);  // A S D F H G Z X C V, each pressed then released
        const bool down = i % 2 == 0;
        sendLockKey(code, down);
        reference.key(code, down);
    }
    ASSERT_TRUE(waitUntil([&] { return input.records().size() >= 100; }, 5000)) << input.records().size();
    sleepMs(100);  // nothing more may come
    EXPECT_EQ(input.records(), expected.records());
}

TEST_F(InProcessAgent, TypesTheLoginOnlyWhileLocked) {
    locked = false;
    sendLockPassword("secret");
    sendLockKey(49, true);
    sleepMs(300);
    EXPECT_TRUE(input.records().empty());

    locked = true;
    sendLockPassword("secret");
    std::vector<R> login = scanKeyTap(0x39);
    for (const R& r : typedAscii("secret")) login.push_back(r);
    for (const R& r : scanKeyTap(0x1C)) login.push_back(r);
    ASSERT_TRUE(waitUntil([&] { return input.records().size() >= login.size(); }, 5000));
    EXPECT_EQ(input.records(), login);
}

TEST_F(InProcessAgent, LongTextArrivesAsItsFirst1024Bytes) {
    sendLockText(std::string(1500, 'q'));
    ASSERT_TRUE(waitUntil([&] { return input.records().size() >= 2048; }, 5000));
    sleepMs(50);
    EXPECT_EQ(input.records(), typedAscii(std::string(1024, 'q')));
}

TEST_F(InProcessAgent, MessageLongerThanAPipeReadIsDroppedWhole) {
    // Read in 4096-byte pieces, its tail would pass for a message of its own.
    Bytes tooLong(6000, 'x');
    tooLong[0] = kLockTextMessage;
    tooLong[4096] = kLockKeyMessage;
    tooLong[4097] = 0;
    tooLong[4098] = 49;
    tooLong[4099] = 1;
    hostHooks().sendLockMessage(tooLong);
    sendLockKey(0, true);
    ASSERT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
    sleepMs(100);
    EXPECT_EQ(input.records(), (std::vector<R>{R::key(0, 0x1E, R::kKeyScanCode)}));
}

TEST_F(InProcessAgent, AgentIsPresentWhileItServes) {
    EXPECT_TRUE(lockAgentPresent());
    agent->stop();
    EXPECT_FALSE(lockAgentPresent());
}

TEST_F(InProcessAgent, OtherProgramsAreNotServed) {
    // Same session, same user, another image.
    const std::wstring tool = toolPath("lock_pipe_client_win").wstring();
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    // It reaches the pipe (3: it could not open it, and nothing here would be shown). The agent
    // cuts it off as soon as it sees who it is: before its write (4) or after it (0, dropped).
    const int code = runProgram(tool, lockPipeName(session) + L" 01003101");
    EXPECT_TRUE(code == 0 || code == 4) << code;
    sendLockKey(0, true);  // this program's own message after it still arrives
    ASSERT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
    sleepMs(100);
    EXPECT_EQ(input.records(), (std::vector<R>{R::key(0, 0x1E, R::kKeyScanCode)}));
}

// A pipe of that name whose owner is not LocalSystem was made by someone else: the login goes
// nowhere near it. Wine lets any process make a pipe owned by SYSTEM, so the owner's verdict
// stands in here.
TEST_F(InProcessAgent, HostWritesNothingToAServerThatIsNotLocalSystem) {
    hostHooks().lockPipeOwnedBySystem = [](void*) { return false; };
    sendLockPassword("secret");
    sendLockKey(49, true);
    hostHooks().lockPipeOwnedBySystem = [](void*) { return true; };
    sendLockKey(0, true);  // the first message the host may write
    ASSERT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
    sleepMs(100);
    EXPECT_EQ(input.records(), (std::vector<R>{R::key(0, 0x1E, R::kKeyScanCode)}));
}

TEST_F(InProcessAgent, OtherAccountsInTheSessionAreNotServed) {
    // This program's image in this session, but not the session's user (runas, say).
    sessionUser = "S-1-5-21-1-2-3-1001";
    sendLockPassword("secret");
    sendLockKey(49, true);
    sleepMs(300);
    EXPECT_TRUE(input.records().empty());
    // Nobody logged on: nobody is served.
    sessionUser.clear();
    sendLockKey(49, true);
    sleepMs(300);
    EXPECT_TRUE(input.records().empty());

    sessionUser = ownUserSid();
    sendLockKey(0, true);
    ASSERT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
    EXPECT_EQ(input.records(), (std::vector<R>{R::key(0, 0x1E, R::kKeyScanCode)}));
}

TEST(LockAgentHooks, SessionUserIsThisUser) {
    // Wine answers WTSQueryUserToken for the own session with the user's token.
    EXPECT_EQ(systemAgentHooks().sessionUser(), ownUserSid());
}

// The access mask the pipe's access list gives a trustee in SDDL ("IU"), read back as text and
// turned into a descriptor again; nothing when there is no entry for it.
std::optional<uint32_t> pipeGrant(const std::wstring& sddl, const wchar_t* trustee) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return std::nullopt;
    PSID wanted = nullptr;
    ConvertStringSidToSidW(trustee, &wanted);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::optional<uint32_t> mask;
    if (wanted && GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl)
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            if (EqualSid(&allowed->SidStart, wanted)) mask = mask.value_or(0) | allowed->Mask;
        }
    LocalFree(wanted);
    LocalFree(descriptor);
    return mask;
}

TEST_F(InProcessAgent, PipeLetsInteractiveUsersWriteButNotCreateInstances) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    // The creator may read the access list of its own pipe.
    HANDLE pipe = CreateFileW(lockPipeName(session).c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                       nullptr, &descriptor);
    CloseHandle(pipe);
    ASSERT_EQ(read, DWORD(ERROR_SUCCESS));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr));
    const std::wstring sddl = text;
    LocalFree(text);
    LocalFree(descriptor);

    const std::optional<uint32_t> users = pipeGrant(sddl, L"S-1-5-4");
    ASSERT_TRUE(users) << std::string(sddl.begin(), sddl.end());
    EXPECT_EQ(*users & (FILE_CREATE_PIPE_INSTANCE | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE),
              0u)
        << std::hex << *users;
    EXPECT_EQ(*users & (FILE_READ_DATA | FILE_WRITE_DATA), DWORD(FILE_READ_DATA | FILE_WRITE_DATA)) << std::hex << *users;
    const std::optional<uint32_t> system = pipeGrant(sddl, L"S-1-5-18");
    ASSERT_TRUE(system);
    EXPECT_TRUE(*system == GENERIC_ALL || (*system & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) << std::hex << *system;
    // Messages still get through with what the users are given.
    sendLockKey(0, true);
    EXPECT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
}

// A pipe of this session's lock name made by the test, one instance, as someone else could; with
// the security descriptor given in SDDL, or the creator's default.
struct ForeignPipe {
    HANDLE server = INVALID_HANDLE_VALUE;
    explicit ForeignPipe(const std::wstring& sddl = L"") {
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!sddl.empty() &&
            !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            return;
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        server = CreateNamedPipeW(lockPipeName(session).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 4096, 0,
                                  descriptor ? &attributes : nullptr);
        if (descriptor) LocalFree(descriptor);
    }
    ~ForeignPipe() {
        if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    }
};

TEST(LockAgentPipe, OnlyAPipeOwnedByLocalSystemCountsAsTheAgent) {
    const std::wstring me = utf8ToWide(ownUserSid());
    const struct {
        std::wstring sddl;
        bool agent;
    } cases[] = {
        {L"O:SYD:(A;;GA;;;WD)", true},
        {L"O:BAD:(A;;GA;;;WD)", false},           // Administrators
        {L"O:" + me + L"D:(A;;GA;;;WD)", false},  // a user, as anyone could make it first
        {L"", false},                             // the creator's default
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.sddl));
        ForeignPipe foreign(c.sddl);
        ASSERT_NE(foreign.server, INVALID_HANDLE_VALUE);
        // Not the agent: the dispatcher tells the viewer so, instead of dropping what it types.
        EXPECT_EQ(lockAgentPresent(), c.agent);
    }
}

TEST(LockAgentPipe, PipeWhoseInstancesAreAllTakenCountsAsAbsent) {
    auto foreign = std::make_unique<ForeignPipe>(L"O:SYD:(A;;GA;;;WD)");
    ASSERT_NE(foreign->server, INVALID_HANDLE_VALUE);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_TRUE(lockAgentPresent()) << "a free instance";
    // A fresh instance: the look above connected to the last one.
    foreign.reset();
    foreign = std::make_unique<ForeignPipe>(L"O:SYD:(A;;GA;;;WD)");
    ASSERT_NE(foreign->server, INVALID_HANDLE_VALUE);
    HANDLE taken = CreateFileW(lockPipeName(session).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(taken, INVALID_HANDLE_VALUE);
    // Nothing could reach an agent behind this pipe: the host must not claim it is there.
    EXPECT_FALSE(lockAgentPresent());
    CloseHandle(taken);
}

TEST(LockAgentPipe, AgentKeptFromItsPipeSaysSoAndServesOnceItIsFree) {
    auto foreign = std::make_unique<ForeignPipe>();
    ASSERT_NE(foreign->server, INVALID_HANDLE_VALUE);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    HANDLE taken = CreateFileW(lockPipeName(session).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(taken, INVALID_HANDLE_VALUE);

    LogCapture log;
    AgentHooks h;
    h.runningAsSystem = [] { return true; };
    LockAgent agent(h);
    ASSERT_TRUE(agent.start());
    EXPECT_TRUE(log.waitFor("잠금 도우미: 파이프를 만들 수 없음"));
    EXPECT_FALSE(lockAgentPresent());

    CloseHandle(taken);
    foreign.reset();
    EXPECT_TRUE(log.waitFor("잠금 도우미: 파이프를 다시 만듦"));
    EXPECT_TRUE(lockAgentPresent());
    EXPECT_EQ(log.count("파이프를 만들 수 없음"), 1) << "logged once, not at every try";
}

TEST(LockAgentPipe, HostEndLetsTheServerIdentifyButNotImpersonate) {
    ScopedHostHooks hooks;
    hooks->lockPipeOwnedBySystem = [](void*) { return true; };
    ForeignPipe foreign;
    ASSERT_NE(foreign.server, INVALID_HANDLE_VALUE);
    std::thread writer([] { sendLockKey(0, true); });
    OVERLAPPED io{};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint8_t buffer[16];
    DWORD got = 0;
    bool connected = ConnectNamedPipe(foreign.server, &io) || GetLastError() == ERROR_PIPE_CONNECTED ||
                     (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(io.hEvent, 5000) == WAIT_OBJECT_0);
    ResetEvent(io.hEvent);
    // The system lets a server impersonate only after it has read from the pipe.
    bool readOk = connected && (ReadFile(foreign.server, buffer, sizeof buffer, &got, &io) ||
                                (GetLastError() == ERROR_IO_PENDING &&
                                 WaitForSingleObject(io.hEvent, 5000) == WAIT_OBJECT_0 &&
                                 GetOverlappedResult(foreign.server, &io, &got, FALSE)));
    writer.join();
    CloseHandle(io.hEvent);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(readOk);
    EXPECT_EQ(got, 4u);
    ASSERT_TRUE(ImpersonateNamedPipeClient(foreign.server)) << GetLastError();
    HANDLE token = nullptr;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
    DWORD size = 0;
    const bool queried = opened && GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
    if (token) CloseHandle(token);
    RevertToSelf();
    ASSERT_TRUE(queried) << GetLastError();
    // Wine hands every pipe server a full impersonation token, whatever level the client asked.
    if (level != SecurityIdentification && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "this system ignores the client's impersonation level";
    EXPECT_EQ(level, SecurityIdentification);
}

TEST(LockAgentServer, ServesOnlyAsLocalSystem) {
    AgentHooks h;
    h.runningAsSystem = [] { return false; };
    LockAgent agent(h);
    EXPECT_FALSE(agent.start());
    EXPECT_FALSE(lockAgentPresent());
    // The real check: no process runs as LocalSystem under Wine.
    EXPECT_FALSE(systemAgentHooks().runningAsSystem());
}

TEST(LockAgentServer, ServiceChecksThePlaceAgainAtEveryAgentStart) {
    ScopedHostHooks hooks;
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::vector<std::wstring> judged;
    std::wstring verdict = L"C:\\users\\me\\Tavrel";
    hooks->unsafeServicePath = [&](const std::wstring& path) {
        judged.push_back(path);
        return verdict;
    };
    {
        LogCapture log;
        EXPECT_EQ(startLockAgentProcess(session), nullptr);
        EXPECT_TRUE(log.waitFor("에이전트를 시작하지 않음: C:\\users\\me\\Tavrel"));
        EXPECT_EQ(startLockAgentProcess(session), nullptr);
        EXPECT_EQ(log.count("에이전트를 시작하지 않음"), 1) << "logged once per run of refusals";
    }
    EXPECT_EQ(judged, (std::vector<std::wstring>(2, resolvedExecutablePath())));
    // Safe again: the agent starts, and (not LocalSystem) ends with 1.
    verdict.clear();
    HANDLE agent = startLockAgentProcess(session);
    ASSERT_NE(agent, nullptr);
    ASSERT_EQ(WaitForSingleObject(agent, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(agent, &code);
    CloseHandle(agent);
    EXPECT_EQ(code, 1u);
}

TEST(LockCommands, SwitchesWithoutAServiceManager) {
    EXPECT_EQ(runLockSwitches({L"--lock-service"}), -8);  // not handled: normal start-up goes on
    EXPECT_EQ(runLockSwitches({L"--profile", L"x"}), -8);
    EXPECT_EQ(runLockSwitches({L"--lock-service", L"--lock-agent"}), 0);
    EXPECT_EQ(runLockSwitches({L"--lock-service", L"what"}), 0);
    // Started by hand, the agent does not serve without LocalSystem.
    EXPECT_EQ(runProgram(ownExecutablePath(), L"--lock-agent"), 1);
}

TEST(LockInstallPlace, WineLetsTheUserChangeEveryFolder) {
    // Wine reports the user as owner with full access on every file and folder, and keeps no
    // other access list: the real check therefore refuses from the volume root on.
    const std::wstring exe = resolvedExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(unsafeServicePathOf(exe), exe.substr(0, 3));
    EXPECT_EQ(unsafeServicePathOf(L"C:\\windows\\notepad.exe"), L"C:\\");
    // A path that is not resolved is refused whole.
    EXPECT_EQ(unsafeServicePathOf(L"C:\\windows\\..\\notepad.exe"), L"C:\\windows\\..\\notepad.exe");
}

// The volume and index of a file: the same for every path that reaches it.
std::optional<std::pair<DWORD, uint64_t>> fileIdentity(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!ok) return std::nullopt;
    return std::make_pair(info.dwVolumeSerialNumber, uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
}

TEST(LockInstallPlace, ResolvedPathIsThisFileOnADrive) {
    const std::wstring exe = resolvedExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.rfind(L"\\\\?\\", 0), std::wstring::npos) << "no prefix in a stored command line";
    EXPECT_EQ(pathFromRoot(exe).back(), exe);
    const auto running = fileIdentity(ownExecutablePath());
    ASSERT_TRUE(running);
    EXPECT_EQ(fileIdentity(exe), running);
}

// The service's stored configuration.
struct ServiceConfig {
    bool found = false;
    QUERY_SERVICE_CONFIGW config{};
    std::wstring binary, account, display, description;
    DWORD state = 0;
    DWORD pid = 0;
    DWORD resetPeriod = 0;
    std::vector<SC_ACTION> actions;
};

ServiceConfig readServiceConfig() {
    ServiceConfig out;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kLockServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                : nullptr;
    if (service) {
        out.found = true;
        alignas(8) BYTE buffer[8192];
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        if (QueryServiceConfigW(service, config, sizeof buffer, &needed)) {
            out.config = *config;
            out.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            out.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
            out.display = config->lpDisplayName ? config->lpDisplayName : L"";
        }
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &needed)) {
            auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
            out.description = d->lpDescription ? d->lpDescription : L"";
        }
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed)) {
            auto* f = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
            out.resetPeriod = f->dwResetPeriod;
            out.actions.assign(f->lpsaActions, f->lpsaActions + f->cActions);
        }
        SERVICE_STATUS_PROCESS status{};
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed)) {
            out.state = status.dwCurrentState;
            out.pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    return out;
}

class LockServiceInstall : public ::testing::Test {
protected:
    void SetUp() override { runLockSwitches({L"--lock-service", L"uninstall"}); }
    void TearDown() override { runLockSwitches({L"--lock-service", L"uninstall"}); }
    ScopedHostHooks hooks;
};

TEST_F(LockServiceInstall, TraySwitchInstallsAndRemovesTheService) {
    std::vector<std::wstring> judged;
    hooks->unsafeServicePath = [&](const std::wstring& path) {
        judged.push_back(path);
        return std::wstring();
    };
    ASSERT_FALSE(lockServiceInstalled());
    {
        MessageBoxAnswer question(L"잠긴 화면에서도 로그인 허용", IDYES, "LockServiceInstall.question");
        MessageBoxAnswer done(L"Tavrel", IDOK);
        toggleLockService();
        ASSERT_TRUE(question.wait());
        EXPECT_EQ(question.text(),
                  L"이 PC 화면이 잠겨 있을 때 원격에서 비밀번호를 넣어 로그인할 수 있게 합니다.\n\n"
                  L"관리자 권한으로 작은 서비스(Tavrel 잠금 도우미)를 설치합니다. 도우미는 화면이 잠겨 있을 때만, 이 PC 의 "
                  L"Tavrel 가 보낸 키 입력을 잠금 화면에 넣습니다.\n\n설치할까요?");
        EXPECT_TRUE(question.screenshotSaved());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.text(), L"설치했습니다. 원격에서 잠긴 화면 로그인을 쓸 수 있습니다.");
    }
    EXPECT_TRUE(lockServiceInstalled());
    EXPECT_TRUE(configStore().get().lockLogin);

    const ServiceConfig c = readServiceConfig();
    ASSERT_TRUE(c.found);
    // The path that was judged is the one the service runs.
    EXPECT_EQ(judged, std::vector<std::wstring>{resolvedExecutablePath()});
    EXPECT_EQ(c.binary, L"\"" + resolvedExecutablePath() + L"\" --lock-service run");
    EXPECT_EQ(c.config.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(c.config.dwStartType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(c.config.dwErrorControl, DWORD(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(c.account, L"LocalSystem");
    EXPECT_EQ(c.display, L"Tavrel 잠금 도우미");
    EXPECT_EQ(c.description,
              L"화면이 잠겨 있을 때 Tavrel 원격 제어로 로그인 비밀번호를 넣습니다. 지우려면 Tavrel 설정에서 끕니다.");
    // Wine accepts the failure actions but keeps none; where they are kept they must match.
    if (!c.actions.empty()) {
        EXPECT_EQ(c.resetPeriod, 86400u);
        ASSERT_EQ(c.actions.size(), 2u);
        EXPECT_EQ(c.actions[0].Type, SC_ACTION_RESTART);
        EXPECT_EQ(c.actions[0].Delay, 3000u);
        EXPECT_EQ(c.actions[1].Type, SC_ACTION_RESTART);
        EXPECT_EQ(c.actions[1].Delay, 10000u);
    }

    // The service runs this binary; its agent does not serve, for nothing runs as LocalSystem.
    // The service manager answers slowly on a loaded machine: wait for it patiently.
    EXPECT_TRUE(waitUntil([] { return readServiceConfig().state == SERVICE_RUNNING; }, 30000));
    EXPECT_FALSE(lockAgentPresent());

    // Installing again over the service succeeds.
    EXPECT_EQ(runProgram(ownExecutablePath(), L"--lock-service install"), 0);
    EXPECT_TRUE(lockServiceInstalled());

    {
        MessageBoxAnswer done(L"Tavrel", IDOK, "LockServiceInstall.removed");
        toggleLockService();  // installed: no question
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.text(), L"잠금 도우미를 지웠습니다.");
    }
    EXPECT_FALSE(lockServiceInstalled());
    EXPECT_FALSE(configStore().get().lockLogin);
    EXPECT_EQ(runProgram(ownExecutablePath(), L"--lock-service uninstall"), 0);
    EXPECT_EQ(runProgram(ownExecutablePath(), L"--lock-service uninstall"), 0);
}

TEST_F(LockServiceInstall, InstallingOverAServiceMakesItRunTheCheckedFile) {
    // A service left from elsewhere, running some other file.
    {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        ASSERT_TRUE(manager);
        SC_HANDLE old = CreateServiceW(manager, kLockServiceName, L"old", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       L"\"C:\\users\\me\\J\\tavrel.exe\" --lock-service run", nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
        ASSERT_TRUE(old) << GetLastError();
        CloseServiceHandle(old);
        CloseServiceHandle(manager);
    }
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(); };
    EXPECT_EQ(runLockSwitches({L"--lock-service", L"install"}), 0);
    const ServiceConfig c = readServiceConfig();
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.binary, L"\"" + resolvedExecutablePath() + L"\" --lock-service run");
    EXPECT_EQ(c.config.dwStartType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(c.display, L"Tavrel 잠금 도우미");
    // Started again, it runs this binary; once removed it is gone before the next test.
    EXPECT_TRUE(waitUntil([] { return readServiceConfig().state == SERVICE_RUNNING; }, 5000));
    EXPECT_EQ(runLockSwitches({L"--lock-service", L"uninstall"}), 0);
    EXPECT_TRUE(waitUntil([] { return !lockServiceInstalled(); }, 10000));
}

TEST_F(LockServiceInstall, InstallingOverARunningServiceRestartsItAsLocalSystem) {
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(); };
    // A service of this name, running under another account: installing must not leave that
    // process running as it was started.
    {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        ASSERT_TRUE(manager);
        const std::wstring commandLine = lockServiceCommandLine(resolvedExecutablePath());
        SC_HANDLE old = CreateServiceW(manager, kLockServiceName, L"old", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, commandLine.c_str(), nullptr,
                                       nullptr, nullptr, L"NT AUTHORITY\\LocalService", L"");
        ASSERT_TRUE(old) << GetLastError();
        EXPECT_TRUE(StartServiceW(old, 0, nullptr)) << GetLastError();
        CloseServiceHandle(old);
        CloseServiceHandle(manager);
    }
    ASSERT_TRUE(waitUntil([] { return readServiceConfig().state == SERVICE_RUNNING; }, 30000));
    const DWORD oldPid = readServiceConfig().pid;
    ASSERT_NE(oldPid, 0u);
    HANDLE oldProcess = OpenProcess(SYNCHRONIZE, FALSE, oldPid);
    ASSERT_TRUE(oldProcess) << GetLastError();

    EXPECT_EQ(runLockSwitches({L"--lock-service", L"install"}), 0);
    EXPECT_EQ(WaitForSingleObject(oldProcess, 15000), WAIT_OBJECT_0) << "the old process was stopped";
    CloseHandle(oldProcess);
    EXPECT_TRUE(waitUntil(
        [&] {
            const ServiceConfig c = readServiceConfig();
            return c.state == SERVICE_RUNNING && c.pid != 0 && c.pid != oldPid;
        },
        30000))
        << "a new process was started";
    const ServiceConfig c = readServiceConfig();
    EXPECT_EQ(c.account, L"LocalSystem");
    EXPECT_EQ(c.config.dwStartType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(c.config.dwErrorControl, DWORD(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(c.display, L"Tavrel 잠금 도우미");
}

// A drive path for a file, every link resolved, as the service's configuration holds it.
std::wstring finalDrivePath(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    wchar_t buffer[MAX_PATH + 8];
    const DWORD n = GetFinalPathNameByHandleW(file, buffer, DWORD(std::size(buffer)), FILE_NAME_NORMALIZED);
    CloseHandle(file);
    return n == 0 || n >= std::size(buffer) ? std::wstring() : drivePathOfFinalPath(std::wstring(buffer, n));
}

TEST_F(LockServiceInstall, RemovingElevatesTheServicesOwnFileNotTheRunningCopy) {
    // The service runs a copy elsewhere; this program stands for a copy in Downloads.
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"tavrel-installed-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(ownExecutablePath().c_str(), (folder + L"\\tavrel.exe").c_str(), FALSE));
    const std::wstring installed = finalDrivePath(folder + L"\\tavrel.exe");
    ASSERT_FALSE(installed.empty());
    ASSERT_NE(installed, resolvedExecutablePath());
    {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        ASSERT_TRUE(manager);
        SC_HANDLE service = CreateServiceW(manager, kLockServiceName, L"Tavrel 잠금 도우미", SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           lockServiceCommandLine(installed).c_str(), nullptr, nullptr, nullptr,
                                           nullptr, nullptr);
        ASSERT_TRUE(service) << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    // Its place judged unsafe now: nothing is run elevated.
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(L"C:\\users\\me"); };
    {
        MessageBoxAnswer refused(L"Tavrel", IDOK);
        toggleLockService();
        ASSERT_TRUE(refused.wait());
        EXPECT_EQ(refused.text(), L"잠금 도우미를 지우지 못했습니다.");
    }
    EXPECT_TRUE(lockServiceInstalled());

    std::vector<std::wstring> judged;
    hooks->unsafeServicePath = [&](const std::wstring& path) {
        judged.push_back(path);
        return std::wstring();
    };
    {
        MessageBoxAnswer done(L"Tavrel", IDOK);
        toggleLockService();
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.text(), L"잠금 도우미를 지웠습니다.");
    }
    EXPECT_EQ(judged, std::vector<std::wstring>{installed});
    EXPECT_FALSE(lockServiceInstalled()) << "the installed copy removed it";
    EXPECT_TRUE(waitUntil([&] { return DeleteFileW((folder + L"\\tavrel.exe").c_str()) != FALSE; }, 10000));
    RemoveDirectoryW(folder.c_str());
}

TEST_F(LockServiceInstall, UnsafePlaceIsRefusedBeforeAnythingIsAsked) {
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(L"C:\\users\\me\\Tavrel"); };
    {
        MessageBoxAnswer refusal(L"Tavrel", IDOK, "LockServiceInstall.refused");
        MessageBoxAnswer question(L"잠긴 화면에서도 로그인 허용", IDNO, "", 1000);
        toggleLockService();
        ASSERT_TRUE(refusal.wait());
        EXPECT_EQ(refusal.text(), unsafeServiceText(L"C:\\users\\me\\Tavrel"));
        EXPECT_FALSE(question.wait());
    }
    EXPECT_FALSE(lockServiceInstalled());

    // The install switch itself refuses too, with exit code 2.
    MessageBoxAnswer refusal(L"Tavrel", IDOK);
    EXPECT_EQ(runLockSwitches({L"--lock-service", L"install"}), 2);
    EXPECT_TRUE(refusal.wait());
    EXPECT_FALSE(lockServiceInstalled());
}

TEST_F(LockServiceInstall, DeclinedQuestionInstallsNothing) {
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(); };
    MessageBoxAnswer question(L"잠긴 화면에서도 로그인 허용", IDNO);
    MessageBoxAnswer done(L"Tavrel", IDOK, "", 1000);
    toggleLockService();
    EXPECT_TRUE(question.wait());
    EXPECT_FALSE(done.wait());
    EXPECT_FALSE(lockServiceInstalled());
}

}  // namespace
