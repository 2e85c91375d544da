// Login on the locked screen. The host process runs on the user's desktop and cannot reach the
// secure one, so the same executable also runs as a service ("--lock-service run", LocalSystem)
// that keeps an agent ("--lock-agent", SYSTEM, on winsta0\winlogon) in the console session; the
// host sends key, text and password messages to that agent over a named pipe, and the agent types
// them only while the session is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/util.h"
#include "host/input.h"

inline constexpr wchar_t kLockServiceName[] = L"TavrelLock";

// "\\.\pipe\TavrelLock-" + the session number.
std::wstring lockPipeName(uint32_t session);
// "\"<executable>\" --lock-service run" and "\"<executable>\" --lock-agent".
std::wstring lockServiceCommandLine(const std::wstring& executable);
std::wstring lockAgentCommandLine(const std::wstring& executable);

// ---- Pipe messages: a type byte, then its fields; at most kLockMessageMax bytes ----
inline constexpr uint8_t kLockKeyMessage = 1;       // u16 Mac key code (big-endian), u8 down
inline constexpr uint8_t kLockTextMessage = 2;      // UTF-8 text
inline constexpr uint8_t kLockPasswordMessage = 3;  // the login password, UTF-8
inline constexpr size_t kLockMessageMax = 4096;
inline constexpr size_t kLockTextMax = 1024;
inline constexpr size_t kLockPasswordMax = 256;

Bytes lockKeyMessage(uint16_t macCode, bool down);
// The first kLockTextMax bytes of the text.
Bytes lockTextMessage(const std::string& text);
// The first kLockPasswordMax bytes of the password; the caller wipes the result.
Bytes lockPasswordMessage(const std::string& password);

// Write one message to this session's agent through hostHooks().sendLockMessage; failures are
// silent (the dispatcher asks lockAgentPresent beforehand). The password's message is wiped
// after the write.
void sendLockKey(uint16_t macCode, bool down);
void sendLockText(const std::string& text);
void sendLockPassword(const std::string& password);

// ---- Command line ----
enum class LockCommand { None, Agent, Install, Uninstall, Run, Other };
// The first lock switch among the arguments after the program path: "--lock-agent", or
// "--lock-service" with the word after it ("install", "uninstall", "run", anything else: Other).
// "--lock-service" as the last argument is skipped; None when nothing matched.
LockCommand lockCommandOf(const std::vector<std::wstring>& args);

// ---- The service's care of its agent, at each pass ----
enum class AgentStep {
    Keep,     // nothing to do
    Start,    // start an agent for the console session (forgetting one that ended)
    Replace,  // end the running agent and start one for the new console session
    Drop,     // forget an agent that ended; there is no console session to start one in
};
// agentKnown: a process was started; agentRunning: it still runs; console: the active console
// session, nothing when none is attached; agentSession: the session the agent was started for.
AgentStep nextAgentStep(bool agentKnown, bool agentRunning, std::optional<uint32_t> console, uint32_t agentSession);

// ---- Who is on either end of the pipe ----
// Only LocalSystem may own the agent's pipe: a non-administrator cannot make an object owned by
// it, so a pipe of that name owned by anyone else was made by someone who is not the agent.
bool lockPipeOwnerTrusted(const std::string& ownerSid);
// The client of a pipe instance, as the system identifies it.
struct PipeClientIdentity {
    std::string user;        // the SID of the client's user, empty when unknown
    uint32_t integrity = 0;  // the relative ID of its integrity level (0x2000 medium)
};
// The agent serves only the user logged on in its session (sessionUser, empty when nobody is),
// at medium integrity or above: another account's process started in that session, or a
// sandboxed one, must not type into the lock screen.
bool lockClientTrusted(const PipeClientIdentity& client, const std::string& sessionUser);

// ---- The agent's handling of one message ----
struct AgentHooks {
    // The agent serves only as LocalSystem.
    std::function<bool()> runningAsSystem;
    // The agent's session reports itself locked.
    std::function<bool()> sessionLocked;
    // Attaches the calling thread to the input desktop; that desktop's name, nothing on failure.
    std::function<std::optional<std::wstring>()> attachInputDesktop;
    // The system's input for one message's injector.
    std::function<std::unique_ptr<InputBackend>()> inputBackend;
    // The SID of the user logged on in the agent's session; empty when nobody is.
    std::function<std::string()> sessionUser;
    int loginWaitMs = 900;   // after the space that brings up the password field
    int returnWaitMs = 150;  // after the password, before Return
};

// Injects one message, but only while the session is locked and the input desktop is
// "Winlogon": checked before acting, after each attach and again right before the password and
// the Return that follows it. Returns whether the whole message was injected.
bool handleLockMessage(ByteSpan message, const AgentHooks& hooks);

// ---- Installation ----
// What the tray's switch tells the user afterwards.
std::wstring lockToggleResultText(bool wasInstalled, bool nowInstalled);
// Why the service is not installed when the executable's place is not safe.
std::wstring unsafeServiceText(const std::wstring& path);

// One access entry of a file's or folder's access list.
struct AccessEntry {
    bool allow = true;         // false: a deny entry
    bool inheritOnly = false;  // applies only to children, not to the object itself
    uint32_t mask = 0;
    std::string sid;           // "S-1-5-18"; empty for an entry whose trustee could not be read
};
struct ObjectSecurity {
    std::string owner;  // the owner's SID, empty when unknown
    bool hasAccessList = true;  // false: a null access list, which lets everyone do everything
    std::vector<AccessEntry> entries;
};
// True when nobody but SYSTEM, the administrators and the system's installer can change, replace,
// delete or add files to the object, nor change its access list or owner.
bool onlyAdministratorsMayChange(const ObjectSecurity& security);
// The same for a folder above the program's own: others may add entries to it (every user may
// make folders at a volume's root), but none may delete or rename what is in it, delete or
// rename it, nor change its access list or owner.
bool onlyAdministratorsMayRearrange(const ObjectSecurity& security);

// One component of the program's path, as the system reports it.
struct PathStep {
    std::wstring path;          // the component's full path: "C:\", "C:\Program Files", ...
    bool reparsePoint = false;  // a junction, link or mount point
    std::optional<ObjectSecurity> security;  // nothing when it could not be read
};
// The first step, from the volume root down, whose holder could make the service run another
// file: a reparse point, unreadable security, or rights for others than administrators (the last
// step is the file, the one before it the program's folder, the rest its parents). Empty when
// every step is safe; the last step's path (or "?") when there are too few steps to judge.
std::wstring firstUnsafeStep(const std::vector<PathStep>& steps);
// The same, on a volume of the given drive type (GetDriveTypeW): only a fixed drive may hold the
// service's file, since a removable one can be swapped for another holding another file; the
// volume root is named for any other type.
std::wstring firstUnsafeStepOn(uint32_t driveType, const std::vector<PathStep>& steps);

// The executable of the service's command line as install writes it (lockServiceCommandLine);
// empty for any other command line.
std::wstring lockServiceExecutable(const std::wstring& commandLine);

// A final path as the system gives it ("\\?\C:\dir\file") as a path on a drive
// ("C:\dir\file"); empty for anything else (network shares, volume names), which the service
// must not run from.
std::wstring drivePathOfFinalPath(const std::wstring& finalPath);
// A drive path's components from the root down: "C:\a\b" gives "C:\", "C:\a", "C:\a\b".
// Empty for a path that is not on a drive or holds an empty, "." or ".." component.
std::vector<std::wstring> pathFromRoot(const std::wstring& drivePath);

// The module path the system wrote into a buffer of `capacity` units with result `length`;
// empty when it failed or was cut to fit.
std::wstring completeModulePath(const wchar_t* buffer, uint32_t length, uint32_t capacity);

#ifdef _WIN32
// The tray's switch: asks, installs or removes the service with elevation, stores the result in
// the settings and tells the user. Main thread.
void toggleLockService();
bool lockServiceInstalled();
bool lockAgentPresent();
void sendLockMessage(ByteSpan message);
// Whether a connected lock pipe (a HANDLE opened with READ_CONTROL) is owned by LocalSystem.
bool lockPipeOwnedBySystem(void* pipe);
// The first component of the executable's path (a drive path) that others than administrators
// may change, or that is a reparse point (firstUnsafeStep); empty when safe.
std::wstring unsafeServicePathOf(const std::wstring& executable);
// This executable's full path; empty when it does not fit MAX_PATH.
std::wstring ownExecutablePath();
// This executable's path with every junction and link resolved, as a drive path: the file the
// service is to run, whatever becomes of the path it was started by. Empty when it cannot be
// resolved or does not fit MAX_PATH.
std::wstring resolvedExecutablePath();

// The service's start of an agent for a session: the process (a HANDLE), null when it did not
// start, also when this executable's place is not safe (checked again at every start).
void* startLockAgentProcess(uint32_t session);
// The executable the installed service runs, resolved and judged as install judges it; empty when
// there is no service or its file is not safe to run elevated.
std::wstring installedServiceExecutable();

// The lock switches: true when the command line held one, with the process's exit code.
bool runLockCommand(int argc, wchar_t** argv, int& exitCode);

// The agent's pipe server: one thread accepts clients one after another (keeping a further
// instance listening meanwhile), another injects their messages one at a time in accept order.
class LockAgent {
public:
    explicit LockAgent(AgentHooks hooks);
    ~LockAgent();
    LockAgent(const LockAgent&) = delete;
    LockAgent& operator=(const LockAgent&) = delete;

    // False (and nothing runs) unless the process runs as LocalSystem.
    bool start();
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};
AgentHooks systemAgentHooks();
// Runs the agent for good; returns 1 only when it may not serve.
int agentMain();
#endif
