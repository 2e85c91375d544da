// The lock-screen login under Wine: the host's pipe writes against the agent's pipe server in
// this process, and the service installed and removed through the tray's switch. Wine never
// shows a locked session and runs nothing as LocalSystem, so the agent's view of the machine and
// the host's check of the pipe's server come from the tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "core/config/store.h"
#include "core/util.h"
#include "host/lock.h"
#include "support/host_hooks.h"
#include "support/message_box_win.h"
#include "support/recording_input.h"
#include "support/run_tool.h"
#include "support/wait.h"

namespace {

using R = InputRecord;

// Runs a program with arguments and returns its exit code; -1 when it did not start or end
// within the time.
int runProgram(const std::wstring& exe, const std::wstring& arguments, int timeoutMs = 30000) {
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    CloseHandle(process.hThread);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, DWORD(timeoutMs)) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
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

// The agent's pipe server in this process, seeing a locked session on the secure desktop, and
// the host believing the pipe's server runs as LocalSystem.
class InProcessAgent : public ::testing::Test {
protected:
    void SetUp() override {
        hooks->lockPipeServedBySystem = [](void*) { return true; };
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
        h.loginWaitMs = 20;
        h.returnWaitMs = 5;
        return h;
    }

    ScopedHostHooks hooks;
    std::atomic<bool> locked{true};
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
    EXPECT_EQ(runProgram(tool, lockPipeName(session) + L" 01003101"), 0);  // written, but dropped
    sendLockKey(0, true);  // this program's own message after it still arrives
    ASSERT_TRUE(waitUntil([&] { return !input.records().empty(); }, 5000));
    sleepMs(100);
    EXPECT_EQ(input.records(), (std::vector<R>{R::key(0, 0x1E, R::kKeyScanCode)}));
}

TEST_F(InProcessAgent, HostWritesNothingToAServerThatIsNotLocalSystem) {
    hostHooks().lockPipeServedBySystem = lockPipeServedBySystem;  // Wine reports server pid 0
    sendLockPassword("secret");
    sendLockKey(49, true);
    sleepMs(300);
    EXPECT_TRUE(input.records().empty());
}

TEST(LockAgentServer, ServesOnlyAsLocalSystem) {
    AgentHooks h;
    h.runningAsSystem = [] { return false; };
    LockAgent agent(h);
    EXPECT_FALSE(agent.start());
    EXPECT_FALSE(lockAgentPresent());
    // The real checks: no process runs as LocalSystem under Wine.
    EXPECT_FALSE(systemAgentHooks().runningAsSystem());
    EXPECT_FALSE(processRunsAsSystem(GetCurrentProcessId()));
    EXPECT_FALSE(processRunsAsSystem(0));
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
    // other access list: the real check therefore refuses the build folder.
    EXPECT_EQ(unsafeServicePathOf(ownExecutablePath()), testProgramFolder().wstring());
    EXPECT_EQ(unsafeServicePathOf(L"C:\\windows\\notepad.exe"), L"C:\\windows");
}

// The service's stored configuration.
struct ServiceConfig {
    bool found = false;
    QUERY_SERVICE_CONFIGW config{};
    std::wstring binary, account, display, description;
    DWORD state = 0;
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
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) out.state = status.dwCurrentState;
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
    hooks->unsafeServicePath = [](const std::wstring&) { return std::wstring(); };
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
    EXPECT_EQ(c.binary, L"\"" + ownExecutablePath() + L"\" --lock-service run");
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
