#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "host/lock.h"
#include "support/host_hooks.h"
#include "support/recording_input.h"

namespace {

using R = InputRecord;

TEST(LockMessages, Layouts) {
    EXPECT_EQ(lockKeyMessage(49, true), (Bytes{0x01, 0x00, 0x31, 0x01}));
    EXPECT_EQ(lockKeyMessage(0xF001, false), (Bytes{0x01, 0xF0, 0x01, 0x00}));
    EXPECT_EQ(lockTextMessage("ab"), (Bytes{0x02, 'a', 'b'}));
    EXPECT_EQ(lockPasswordMessage("pw"), (Bytes{0x03, 'p', 'w'}));
    EXPECT_EQ(lockPipeName(1), L"\\\\.\\pipe\\TavrelLock-1");
    EXPECT_EQ(lockPipeName(0), L"\\\\.\\pipe\\TavrelLock-0");
    EXPECT_EQ(lockPipeName(4294967295u), L"\\\\.\\pipe\\TavrelLock-4294967295");
    EXPECT_EQ(lockServiceCommandLine(L"C:\\T\\tavrel.exe"), L"\"C:\\T\\tavrel.exe\" --lock-service run");
    EXPECT_EQ(lockAgentCommandLine(L"C:\\T\\tavrel.exe"), L"\"C:\\T\\tavrel.exe\" --lock-agent");
}

TEST(LockMessages, HostCutsTextAndPasswordAndSendsOneMessageEach) {
    ScopedHostHooks hooks;
    std::vector<Bytes> sent;
    hooks->sendLockMessage = [&](ByteSpan m) { sent.emplace_back(m.begin(), m.end()); };

    sendLockText(std::string(1500, 't'));
    sendLockPassword(std::string(300, 'p'));
    sendLockPassword("short");
    sendLockKey(36, false);

    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], concatBytes({Bytes{2}, asBytes(std::string(1024, 't'))}));
    EXPECT_EQ(sent[1], concatBytes({Bytes{3}, asBytes(std::string(256, 'p'))}));
    EXPECT_EQ(sent[2], concatBytes({Bytes{3}, asBytes("short")}));
    EXPECT_EQ(sent[3], (Bytes{1, 0, 36, 0}));
}

TEST(LockCommandLine, FirstLockSwitchDecides) {
    struct Case {
        std::vector<std::wstring> args;
        LockCommand expected;
    };
    const Case cases[] = {
        {{L"tavrel.exe"}, LockCommand::None},
        {{L"tavrel.exe", L"--profile", L"work"}, LockCommand::None},
        {{L"tavrel.exe", L"--lock-service"}, LockCommand::None},  // normal start-up goes on
        {{L"tavrel.exe", L"--lock-service", L"install"}, LockCommand::Install},
        {{L"tavrel.exe", L"--lock-service", L"uninstall"}, LockCommand::Uninstall},
        {{L"tavrel.exe", L"--lock-service", L"run"}, LockCommand::Run},
        {{L"tavrel.exe", L"--lock-service", L"Install"}, LockCommand::Other},
        {{L"tavrel.exe", L"--lock-service", L"--lock-agent"}, LockCommand::Other},  // exit 0, no agent
        {{L"tavrel.exe", L"--lock-agent"}, LockCommand::Agent},
        {{L"tavrel.exe", L"--profile", L"x", L"--lock-agent", L"--lock-service", L"run"}, LockCommand::Agent},
        {{L"--lock-agent"}, LockCommand::None},  // the program path is never a switch
        {{}, LockCommand::None},
    };
    for (const Case& c : cases) {
        std::wstring joined;
        for (const auto& a : c.args) joined += a + L" ";
        EXPECT_EQ(lockCommandOf(c.args), c.expected) << std::string(joined.begin(), joined.end());
    }
}

TEST(LockService, AgentStepAtEachPass) {
    struct Case {
        bool known, running;
        std::optional<uint32_t> console;
        uint32_t agentSession;
        AgentStep expected;
    };
    const Case cases[] = {
        {false, false, std::nullopt, 0, AgentStep::Keep},    // nothing to start it in
        {false, false, 1u, 0, AgentStep::Start},
        {true, true, 1u, 1, AgentStep::Keep},
        {true, true, std::nullopt, 1, AgentStep::Keep},      // console detached: leave it
        {true, true, 2u, 1, AgentStep::Replace},             // fast user switching
        {true, false, 1u, 1, AgentStep::Start},              // ended: restarted
        {true, false, 2u, 1, AgentStep::Start},
        {true, false, std::nullopt, 1, AgentStep::Drop},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nextAgentStep(c.known, c.running, c.console, c.agentSession), c.expected)
            << c.known << c.running << c.console.value_or(99) << c.agentSession;
}

// The agent's view of the machine, set per test.
struct FakeMachine {
    std::atomic<bool> locked{true};
    std::wstring desktop = L"Winlogon";
    std::atomic<int> checks{0};
    // Unlocks after this many lock checks (0: never).
    int unlockAfter = 0;
    RecordingInput input;

    AgentHooks hooks() {
        AgentHooks h;
        h.runningAsSystem = [] { return true; };
        h.sessionLocked = [this] {
            const int n = ++checks;
            if (unlockAfter && n > unlockAfter) locked = false;
            return locked.load();
        };
        h.attachInputDesktop = [this] { return std::optional<std::wstring>(desktop); };
        h.inputBackend = input.factory();
        h.loginWaitMs = 1;
        h.returnWaitMs = 1;
        return h;
    }
};

std::vector<R> concat(std::initializer_list<std::vector<R>> parts) {
    std::vector<R> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(LockAgentMessages, InjectsOnlyOnTheLockedSecureDesktop) {
    struct Case {
        const char* name;
        Bytes message;
        bool locked;
        std::wstring desktop;
        bool acted;
        std::vector<R> records;
    };
    const std::vector<R> space = scanKeyTap(0x39), ret = scanKeyTap(0x1C);
    const Case cases[] = {
        {"key press", {1, 0, 49, 1}, true, L"Winlogon", true, {space[0]}},
        {"down 2 is a press", {1, 0, 49, 2}, true, L"winlogon", true, {space[0]}},
        {"key release", {1, 0, 49, 0}, true, L"WINLOGON", true, {space[1]}},
        {"3-byte key", {1, 0, 49}, true, L"Winlogon", false, {}},
        {"unknown code", {1, 0x12, 0x34, 1}, true, L"Winlogon", true, {}},
        {"text", {2, 'o', 'k'}, true, L"Winlogon", true, typedAscii("ok")},
        {"login", {3, 'p', 'w'}, true, L"Winlogon", true, concat({space, typedAscii("pw"), ret})},
        {"unknown type", {4, 'x'}, true, L"Winlogon", false, {}},
        {"empty", {}, true, L"Winlogon", false, {}},
        {"not locked", {3, 'p', 'w'}, false, L"Winlogon", false, {}},
        {"not locked key", {1, 0, 49, 1}, false, L"Winlogon", false, {}},
        {"user's desktop", {3, 'p', 'w'}, true, L"Default", false, {}},
        {"no desktop", {2, 'x'}, true, L"", false, {}},
    };
    for (const Case& c : cases) {
        FakeMachine m;
        m.locked = c.locked;
        m.desktop = c.desktop;
        EXPECT_EQ(handleLockMessage(c.message, m.hooks()), c.acted) << c.name;
        EXPECT_EQ(m.input.records(), c.records) << c.name;
    }
}

TEST(LockAgentMessages, PasswordIsNotTypedWhenTheUserUnlockedDuringTheWait) {
    // The first check passes; by the one after the 900 ms wait the session is unlocked.
    FakeMachine m;
    m.unlockAfter = 1;
    EXPECT_FALSE(handleLockMessage(Bytes{3, 's', 'e', 'c'}, m.hooks()));
    EXPECT_EQ(m.input.records(), scanKeyTap(0x39));  // only the space that woke the password field
}

TEST(LockAgentMessages, PasswordIsNotTypedWhenInputLeftTheSecureDesktop) {
    FakeMachine m;
    AgentHooks h = m.hooks();
    int attaches = 0;
    h.attachInputDesktop = [&] { return std::optional<std::wstring>(++attaches == 1 ? L"Winlogon" : L"Default"); };
    EXPECT_FALSE(handleLockMessage(Bytes{3, 's'}, h));
    EXPECT_EQ(m.input.records(), scanKeyTap(0x39));
}

TEST(LockAgentMessages, ReturnIsNotPressedAfterAnUnlock) {
    FakeMachine m;
    m.unlockAfter = 2;  // locked for the first check and the one before typing
    EXPECT_FALSE(handleLockMessage(Bytes{3, 'p'}, m.hooks()));
    EXPECT_EQ(m.input.records(), concat({scanKeyTap(0x39), typedAscii("p")}));
}

TEST(LockInstall, ResultTextSaysWhatHappened) {
    EXPECT_EQ(lockToggleResultText(false, true), L"설치했습니다. 원격에서 잠긴 화면 로그인을 쓸 수 있습니다.");
    EXPECT_EQ(lockToggleResultText(true, false), L"잠금 도우미를 지웠습니다.");
    // A failed install or removal is not reported as done.
    EXPECT_EQ(lockToggleResultText(false, false), L"잠금 도우미를 설치하지 못했습니다.");
    EXPECT_EQ(lockToggleResultText(true, true), L"잠금 도우미를 지우지 못했습니다.");
}

TEST(LockInstall, OnlyAdministratorsMayChangeTheServiceFile) {
    const std::string system = "S-1-5-18", admins = "S-1-5-32-544", users = "S-1-5-32-545",
                      installer = "S-1-5-80-956008885-3425901398-3246484806-3014226082-1702924829-1930491925",
                      me = "S-1-5-21-1-2-3-1001", creatorOwner = "S-1-3-0";
    constexpr uint32_t kFull = 0x1F01FF, kReadExecute = 0x1200A9, kModify = 0x1301BF, kAddFile = 0x0002,
                       kAddFolder = 0x0004, kWriteDac = 0x40000, kGenericAll = 0x10000000;
    // What a folder under Program Files carries.
    const std::vector<AccessEntry> programFiles = {{true, false, kFull, system},
                                                   {true, false, kFull, admins},
                                                   {true, false, kFull, installer},
                                                   {true, false, kReadExecute, users},
                                                   {true, true, kGenericAll, creatorOwner}};
    auto with = [&](AccessEntry extra) {
        std::vector<AccessEntry> e = programFiles;
        e.push_back(extra);
        return e;
    };
    struct Case {
        const char* name;
        ObjectSecurity security;
        bool safe;
    };
    const Case cases[] = {
        {"program files", {admins, true, programFiles}, true},
        {"owned by the installer", {installer, true, programFiles}, true},
        {"owned by a user", {me, true, programFiles}, false},
        {"owner unknown", {"", true, programFiles}, false},
        {"no access list", {admins, false, {}}, false},
        {"empty access list", {admins, true, {}}, true},
        {"user modify", {admins, true, with({true, false, kModify, me})}, false},
        {"users may add files", {admins, true, with({true, false, kAddFile, users})}, false},
        {"users may add folders", {admins, true, with({true, false, kAddFolder, users})}, false},
        {"users may change the list", {admins, true, with({true, false, kWriteDac, users})}, false},
        {"everyone generic all", {admins, true, with({true, false, kGenericAll, "S-1-1-0"})}, false},
        {"inherit-only grant", {admins, true, with({true, true, kFull, me})}, true},
        {"deny is not weighed", {admins, true, with({false, false, kFull, me})}, true},
        {"unreadable trustee", {admins, true, with({true, false, kFull, ""})}, false},
        // What Wine reports for every file and folder.
        {"wine", {me, true, {{true, false, kFull, system}, {true, false, kFull, me}, {true, false, kReadExecute, "S-1-1-0"}}},
         false},
    };
    for (const Case& c : cases) EXPECT_EQ(onlyAdministratorsMayChange(c.security), c.safe) << c.name;
}

TEST(LockInstall, EveryStepOfThePathMustBeSafe) {
    const std::string system = "S-1-5-18", admins = "S-1-5-32-544", users = "S-1-5-32-545",
                      authenticated = "S-1-5-11",
                      installer = "S-1-5-80-956008885-3425901398-3246484806-3014226082-1702924829-1930491925",
                      me = "S-1-5-21-1-2-3-1001", creatorOwner = "S-1-3-0";
    constexpr uint32_t kFull = 0x1F01FF, kReadExecute = 0x1200A9, kModify = 0x1301BF, kAddFolder = 0x0004,
                       kAddFile = 0x0002, kDeleteChild = 0x0040, kDelete = 0x10000, kGenericAll = 0x10000000,
                       kGenericWriteReadExecute = 0xE0010000, kGenericWrite = 0x40000000;
    // What the system's folders carry.
    const ObjectSecurity root = {installer, true,
                                 {{true, false, kFull, admins},
                                  {true, false, kFull, system},
                                  {true, true, kGenericAll, creatorOwner},
                                  {true, false, kReadExecute, users},
                                  {true, false, kAddFolder, authenticated},  // anyone may make a folder here
                                  {true, true, kGenericWriteReadExecute, authenticated}}};
    const ObjectSecurity protectedFolder = {installer, true,
                                            {{true, false, kFull, installer},
                                             {true, false, kModify, system},
                                             {true, false, kModify, admins},
                                             {true, false, kReadExecute, users},
                                             {true, true, kGenericAll, creatorOwner}}};
    const ObjectSecurity profile = {system, true,
                                    {{true, false, kFull, system}, {true, false, kFull, admins}, {true, false, kFull, me}}};
    const ObjectSecurity ownedByMe = {me, true, protectedFolder.entries};
    auto with = [](ObjectSecurity security, AccessEntry extra) {
        security.entries.push_back(extra);
        return security;
    };
    auto step = [](const wchar_t* path, std::optional<ObjectSecurity> security, bool reparse = false) {
        return PathStep{path, reparse, std::move(security)};
    };
    const wchar_t *c = L"C:\\", *pf = L"C:\\Program Files", *app = L"C:\\Program Files\\Tavrel",
                  *exe = L"C:\\Program Files\\Tavrel\\tavrel.exe";
    struct Case {
        const char* name;
        std::vector<PathStep> steps;
        std::wstring unsafe;
    };
    const Case cases[] = {
        {"installed under program files",
         {step(c, root), step(pf, protectedFolder), step(app, protectedFolder), step(exe, protectedFolder)},
         L""},
        {"reached through a junction in the user's profile",
         {step(c, root), step(L"C:\\Users", root), step(L"C:\\Users\\u", profile),
          step(L"C:\\Users\\u\\J", protectedFolder, true), step(L"C:\\Users\\u\\J\\Tavrel", protectedFolder),
          step(L"C:\\Users\\u\\J\\Tavrel\\tavrel.exe", protectedFolder)},
         L"C:\\Users\\u"},
        {"junction in a protected place", {step(c, root), step(pf, protectedFolder, true), step(app, protectedFolder),
                                           step(exe, protectedFolder)},
         pf},
        {"the program's folder is a mount point",
         {step(c, root), step(pf, protectedFolder), step(app, protectedFolder, true), step(exe, protectedFolder)}, app},
        {"parent folder owned by the user",
         {step(c, root), step(L"C:\\Apps", ownedByMe), step(L"C:\\Apps\\Tavrel", protectedFolder),
          step(L"C:\\Apps\\Tavrel\\tavrel.exe", protectedFolder)},
         L"C:\\Apps"},
        {"users may delete entries of a parent",
         {step(c, root), step(pf, with(protectedFolder, {true, false, kDeleteChild, users})),
          step(app, protectedFolder), step(exe, protectedFolder)},
         pf},
        {"users may rename a parent",
         {step(c, root), step(pf, with(protectedFolder, {true, false, kDelete, users})), step(app, protectedFolder),
          step(exe, protectedFolder)},
         pf},
        {"users may add folders to a parent",
         {step(c, root), step(pf, with(protectedFolder, {true, false, kAddFolder, users})), step(app, protectedFolder),
          step(exe, protectedFolder)},
         L""},
        {"users may add files to a parent",
         {step(c, root), step(pf, with(protectedFolder, {true, false, kAddFile, users})), step(app, protectedFolder),
          step(exe, protectedFolder)},
         pf},
        {"users may add files to the root",
         {step(c, with(root, {true, false, kAddFile, authenticated})), step(pf, protectedFolder), step(app, protectedFolder),
          step(exe, protectedFolder)},
         c},
        {"generic write on a parent",
         {step(c, root), step(pf, with(protectedFolder, {true, false, kGenericWrite, users})),
          step(app, protectedFolder), step(exe, protectedFolder)},
         pf},
        {"users may add files to the program's folder",
         {step(c, root), step(pf, protectedFolder), step(app, with(protectedFolder, {true, false, kAddFile, users})),
          step(exe, protectedFolder)},
         app},
        {"the file is the user's",
         {step(c, root), step(pf, protectedFolder), step(app, protectedFolder), step(exe, ownedByMe)}, exe},
        {"the root's security cannot be read",
         {step(c, std::nullopt), step(pf, protectedFolder), step(app, protectedFolder), step(exe, protectedFolder)}, c},
        {"a file at the root is judged by the program-folder rule",
         {step(c, root), step(L"C:\\tavrel.exe", protectedFolder)}, c},
        {"one step only", {step(exe, protectedFolder)}, exe},
        {"no steps", {}, L"?"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(firstUnsafeStep(k.steps), k.unsafe) << k.name;
}

TEST(LockInstall, FinalPathBecomesADrivePathAndItsSteps) {
    const struct {
        const wchar_t* finalPath;
        std::wstring drivePath;
    } finals[] = {
        {L"\\\\?\\C:\\Program Files\\Tavrel\\tavrel.exe", L"C:\\Program Files\\Tavrel\\tavrel.exe"},
        {L"D:\\x.exe", L"D:\\x.exe"},
        {L"\\\\?\\UNC\\server\\share\\tavrel.exe", L""},
        {L"\\\\?\\Volume{0e5f}\\tavrel.exe", L""},
        {L"\\\\?\\C:", L""},
        {L"", L""},
    };
    for (const auto& f : finals) EXPECT_EQ(drivePathOfFinalPath(f.finalPath), f.drivePath);

    EXPECT_EQ(pathFromRoot(L"C:\\Program Files\\Tavrel\\tavrel.exe"),
              (std::vector<std::wstring>{L"C:\\", L"C:\\Program Files", L"C:\\Program Files\\Tavrel",
                                         L"C:\\Program Files\\Tavrel\\tavrel.exe"}));
    EXPECT_EQ(pathFromRoot(L"C:\\tavrel.exe"), (std::vector<std::wstring>{L"C:\\", L"C:\\tavrel.exe"}));
    const wchar_t* odd[] = {L"C:\\a\\..\\b.exe", L"C:\\a\\.\\b.exe", L"C:\\a\\\\b.exe", L"C:\\a\\",
                            L"C:\\a/b.exe",         L"C:a.exe",          L"\\\\server\\share\\a.exe", L""};
    for (size_t i = 0; i < std::size(odd); ++i) EXPECT_TRUE(pathFromRoot(odd[i]).empty()) << "odd path " << i;
}

TEST(LockInstall, ModulePathCutToTheBufferIsRefused) {
    std::wstring path(260, L'x');
    EXPECT_EQ(completeModulePath(path.data(), 260, 260), L"");  // cut: the system filled the buffer
    EXPECT_EQ(completeModulePath(path.data(), 0, 260), L"");    // failed
    EXPECT_EQ(completeModulePath(path.data(), 259, 260), std::wstring(259, L'x'));
}

TEST(LockInstall, RefusalNamesThePlace) {
    const std::wstring text = unsafeServiceText(L"C:\\Users\\me\\Tavrel");
    EXPECT_NE(text.find(L"C:\\Users\\me\\Tavrel"), std::wstring::npos);
    EXPECT_EQ(text.rfind(L"잠금 도우미를 설치하지 않았습니다.", 0), 0u);
}

TEST(LockInstall, OnlyAFixedDriveMayHoldTheServiceFile) {
    const std::string admins = "S-1-5-32-544";
    const ObjectSecurity safe = {admins, true, {{true, false, 0x1F01FF, admins}}};
    const std::vector<PathStep> steps = {{L"E:\\", false, safe},
                                         {L"E:\\Tavrel", false, safe},
                                         {L"E:\\Tavrel\\tavrel.exe", false, safe}};
    const struct {
        const char* name;
        uint32_t driveType;  // GetDriveTypeW
        std::wstring unsafe;
    } cases[] = {
        {"unknown", 0, L"E:\\"},   {"no root", 1, L"E:\\"},   {"removable", 2, L"E:\\"}, {"fixed", 3, L""},
        {"network", 4, L"E:\\"},   {"optical", 5, L"E:\\"},   {"RAM disk", 6, L"E:\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(firstUnsafeStepOn(c.driveType, steps), c.unsafe) << c.name;
    // On a fixed drive the rights still decide.
    std::vector<PathStep> userFolder = steps;
    userFolder[1].security->owner = "S-1-5-21-1-2-3-1001";
    EXPECT_EQ(firstUnsafeStepOn(3, userFolder), L"E:\\Tavrel");
    EXPECT_EQ(firstUnsafeStepOn(2, {}), L"?");
}

TEST(LockInstall, ServiceExecutableIsReadOnlyFromTheCommandLineInstallWrites) {
    const std::wstring exe = L"C:\\Program Files\\Tavrel\\tavrel.exe";
    EXPECT_EQ(lockServiceExecutable(lockServiceCommandLine(exe)), exe);
    const wchar_t* others[] = {
        L"C:\\Program Files\\Tavrel\\tavrel.exe --lock-service run",  // unquoted
        L"\"C:\\T\\tavrel.exe\" --lock-service run --x",
        L"\"C:\\T\\tavrel.exe\" --lock-agent",
        L"\"C:\\T\\a.exe\" \"C:\\T\\tavrel.exe\" --lock-service run",  // a quote inside the path
        L"\"\" --lock-service run",
        L"\" --lock-service run",
        L"",
    };
    for (size_t i = 0; i < std::size(others); ++i) EXPECT_EQ(lockServiceExecutable(others[i]), L"") << "case " << i;
}

TEST(LockPipeOwner, OnlyLocalSystemOwnsTheAgentsPipe) {
    const struct {
        const char* owner;
        bool trusted;
    } cases[] = {
        {"S-1-5-18", true},
        {"S-1-5-32-544", false},              // Administrators: any elevated user's process
        {"S-1-5-21-1-2-3-1001", false},       // a user
        {"S-1-5-19", false},                  // LocalService
        {"S-1-5-18-1", false},
        {"", false},                          // no owner read back
    };
    for (const auto& c : cases) EXPECT_EQ(lockPipeOwnerTrusted(c.owner), c.trusted) << c.owner;
}

TEST(LockPipeClient, OnlyTheSessionsUserAtMediumIntegrityOrAboveIsServed) {
    const char* user = "S-1-5-21-1-2-3-1001";
    const struct {
        const char* name;
        const char* client;
        uint32_t integrity;
        const char* sessionUser;
        bool trusted;
    } cases[] = {
        {"the user, medium", user, 0x2000, user, true},
        {"the user, medium plus", user, 0x2100, user, true},
        {"the user, elevated", user, 0x3000, user, true},
        {"the user, low", user, 0x1000, user, false},
        {"the user, untrusted", user, 0, user, false},
        {"another account in the session (runas)", "S-1-5-21-1-2-3-1002", 0x2000, user, false},
        {"an administrator's account", "S-1-5-32-544", 0x3000, user, false},
        {"SYSTEM", "S-1-5-18", 0x4000, user, false},
        {"nobody logged on", user, 0x2000, "", false},
        {"client unknown, nobody logged on", "", 0x2000, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lockClientTrusted(PipeClientIdentity{c.client, c.integrity}, c.sessionUser), c.trusted) << c.name;
}

}  // namespace
