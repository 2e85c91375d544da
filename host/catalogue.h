// The window and program catalogue: which top-level windows a viewer may pick to stream, which
// programs it may start, the reply that lists both, and the launch job that starts one program
// and hands its window to the stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/json.h"
#include "host/desktop.h"
#include "host/protocol/messages.h"
#include "media/capture.h"

// One listed top-level window.
struct WindowInfo {
    uint32_t handle = 0;  // the handle's low 32 bits: the window's id on the wire
    std::string title;
    std::string app;      // executable name without folder and ".exe"; empty when unknown
    ScreenRect bounds;
};

// One launchable program.
struct ProgramEntry {
    std::string id;    // "shell:AppsFolder\..." or the full path of a shortcut
    std::string name;
    bool operator==(const ProgramEntry&) const = default;
};

// The name holds a word that marks uninstallers, read-mes, help and web links (any case).
bool isExcludedProgram(const std::wstring& name);
// The product's own entries, which the catalogue never offers.
bool isOwnProgramName(const std::wstring& name);
// "C:\W\notepad.EXE" -> "notepad": the part after the last separator without a final ".exe"
// (any case) when something is left before it.
std::wstring appNameFromImagePath(const std::wstring& path);
// At least 120 by 80 pixels.
bool windowLargeEnough(const ScreenRect& bounds);

// What the window list asks of one top-level window.
struct WindowFacts {
    bool visible = false;
    bool owned = false;        // has an owner window
    bool toolWindow = false;
    bool cloaked = false;
    std::wstring className;
    std::wstring title;
    bool ownProcess = false;   // belongs to this process
    bool minimised = false;
    std::optional<ScreenRect> normalPosition;  // a minimised window's restored place
    std::optional<ScreenRect> bounds;          // frame bounds or window rectangle
};
// The bounds under which the window is offered, or nothing: visible, unowned, not a tool window,
// not cloaked, not the shell's desktop or task bar, titled, of another process, and at least
// 120 by 80 pixels where it is (a minimised window where it would be restored).
std::optional<ScreenRect> offeredBounds(const WindowFacts& facts);

// {"id","title","app","widthPt","heightPt"}: the size divided by the scale, rounded half away
// from zero (a scale that is not a positive number counts as 1).
Json windowJson(const WindowInfo& window, double scale);
// The scale of the last monitor whose area holds the window's centre; 1 when none does.
double windowScale(const WindowInfo& window, const std::vector<MonitorInfo>& monitors);
// The MsgType::AppList payload: {"apps", "windows", "launching" (only when not empty)}.
Json catalogueReply(const std::vector<ProgramEntry>& programs, const std::vector<WindowInfo>& windows,
                    const std::vector<MonitorInfo>& monitors, const std::string& launching);

// What the catalogue's jobs need of the host session. The session guards the name of the program
// being launched and the streamed window with its capture mutex.
class CatalogueSession {
public:
    virtual ~CatalogueSession() = default;
    virtual void send(MsgType type, const std::string& payload) = 0;
    virtual std::string launching() = 0;
    // Empty clears it.
    virtual void setLaunching(const std::string& name) = 0;
    // Streams this window from now on (switching at once).
    virtual void streamWindow(uint32_t handle) = 0;
};

// How long a built program list is used before the next request rebuilds it.
inline std::atomic<int64_t> programCacheLifetimeNs{30'000'000'000};
// How long the launch job waits for the started program's window.
inline std::atomic<int> launchWindowWaitMs{12000};

#ifdef _WIN32
struct HWND__;
using WindowHandle = HWND__*;

std::vector<WindowInfo> listWindows();
// Appends the window when it is worth offering; the enumeration goes on in every case.
void collectWindow(WindowHandle window, std::vector<WindowInfo>& out);
bool windowBounds(WindowHandle window, ScreenRect& out);
// The window with this id (sign-extended to a handle, as handles are), or null.
WindowHandle windowFromId(uint32_t id);
uint32_t windowId(WindowHandle window);
void bringWindowToFront(WindowHandle window);
// The first listed window not in `before`, waiting up to timeoutMs; 0 when none came.
uint32_t waitForNewWindow(const std::set<uint32_t>& before, int timeoutMs);

// A copy of the cached program list, rebuilt when older than programCacheLifetimeNs or empty.
std::vector<ProgramEntry> programCatalogue();
// The user's (or all users') Start-menu programs folder that the shortcut scan reads; empty
// when the system gives none.
std::wstring programsFolder(bool allUsers);
// Adds the shortcuts of the folder and four levels of subfolders: name -> path, first one wins.
void scanShortcuts(const std::wstring& folder, int depth, std::map<std::wstring, std::wstring>& found);
bool findProgram(const std::string& id);
// Starts the program when its id is in the catalogue.
bool launchProgram(const std::string& id);

// The catalogue reply, sent as MsgType::AppList.
void sendAppList(CatalogueSession& session);
// Starts the catalogue's program `id` and makes its new window the streamed one.
void launchFromCatalogue(CatalogueSession& session, const std::string& id);
#endif
