// Runs the built program as a user starts it, inside the throw-away Wine prefix: the prefix's user
// folders point at a temporary folder meanwhile, so nothing the program writes reaches the
// prefix's user profile.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "core/config/temp_folder.h"
#include "support/process_job_win.h"

// Points the roaming and the local application-data folders of this prefix's user at folders
// under a temporary one while it lives; programs started meanwhile keep their profiles and logs
// there. The previous settings come back at the end. Both keys that name them are set: the system
// writes the folders it resolved back into the older one, and may read them from there.
class ThrowAwayUserFolders {
public:
    ThrowAwayUserFolders();
    ~ThrowAwayUserFolders();
    ThrowAwayUserFolders(const ThrowAwayUserFolders&) = delete;
    ThrowAwayUserFolders& operator=(const ThrowAwayUserFolders&) = delete;

    bool ok() const { return ok_; }
    std::filesystem::path roaming() const { return folder_.path() / "Roaming"; }
    std::filesystem::path local() const { return folder_.path() / "Local"; }

private:
    struct Saved {
        const wchar_t* key = nullptr;
        const wchar_t* name = nullptr;
        DWORD type = 0;
        std::wstring value;
        bool present = false;
    };
    TempFolder folder_;
    Saved saved_[4];
    bool ok_ = false;
};

// A program started with arguments (in `folder`, or this process's current folder); ended by force
// if it still runs when this is destroyed, with whatever it started that still runs.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::wstring& arguments,
                 const std::filesystem::path& folder = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return info_.hProcess != nullptr; }
    DWORD pid() const { return info_.dwProcessId; }
    // Waits up to `ms`, pumping this thread meanwhile; true with the exit code once it has ended.
    bool waitExit(int ms, DWORD& code);

private:
    ProcessJob job_;
    PROCESS_INFORMATION info_{};
};

// A file that another program may be writing, read without keeping it from writing.
std::string readSharedFile(const std::filesystem::path& path);

// Ends another program's message loop the way the system would: WM_QUIT to the window's thread.
bool postQuitToThreadOf(HWND window);
