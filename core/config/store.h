// The profile folder, the process-wide settings store and the two file helpers that every file of
// the profile folder goes through.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/util.h"

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// "-" followed by the word after the last "--profile" of the command line, or empty.
std::wstring profileSuffix();
// The same rule over an argument list whose first entry is the program path.
std::wstring profileSuffixFromArgs(const std::vector<std::wstring>& args);

// Whether a profile name can be one folder-name component on Windows: not empty, at most 64
// UTF-16 units, no separator or other character Windows forbids in names, not "." or "..", no
// trailing dot or blank (Windows drops them, so two names would share one folder) and no device
// name such as CON or COM1.
inline constexpr size_t kMaxProfileName = 64;
bool validProfileName(const std::wstring& name);
// The name folded as the file system compares folder names (letter case ignored), so that what
// must be one per profile folder is named alike for every spelling of that folder.
std::wstring foldProfileName(const std::wstring& name);

// The whole file; empty when it cannot be opened or read.
Bytes readFile(const std::wstring& path);
// The whole file into `out`; false when it cannot be opened or read to the end.
bool tryReadFile(const std::wstring& path, Bytes& out);

// Writes `bytes` to path + ".tmp", flushes it to disk and moves it over `path`. Returns true only
// when the new content has replaced the file; on any failure the old file stays as it was and no
// partly written ".tmp" file is left behind.
bool writeFileAtomic(const std::wstring& path, ByteSpan bytes);

// Whether a file or folder exists at `path`.
bool pathExists(const std::wstring& path);

// Renames a file that cannot be used to the first free name of path + ".bad", ".bad2" ... ".bad9".
// When all nine are taken, the oldest (".bad") is dropped, the others move down one name and the
// file becomes ".bad9". Returns the new name, or empty when there is no file or it cannot move.
std::wstring moveAside(const std::wstring& path);

// The per-user roaming application-data folder; empty when the system gives none.
std::wstring roamingAppDataFolder();

// The folder the process-wide store puts its profile folder in: the roaming application-data
// folder, unless useProfileBase named another one before the store's first use (the test
// programs do, so that no test ever touches the user's real profile).
std::wstring profileBase();
void useProfileBase(const std::wstring& folder);

// The lock that makes one process per profile: a file in the profile folder held open, sharing
// nothing, while the object lives. The file system decides what "the same profile" is, whatever
// the spelling of the folder's name and whoever else can name objects in the session.
class ProfileLock {
public:
    enum class State {
        Held,    // this process has the profile
        Busy,    // another process holds the file
        Failed,  // the file cannot be made or opened
    };
    static constexpr wchar_t kFileName[] = L"tavrel.lock";

    explicit ProfileLock(const std::wstring& profileDir);
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    State state() const { return state_; }

private:
    State state_ = State::Failed;
    intptr_t handle_ = -1;  // the platform's handle of the open file
};

// The one owner of the settings record. Readers take copies; writers pass an update callable that
// runs under the lock and is saved to config.json at once.
class ConfigStore {
public:
    // Finds the profile folder under `baseDir` (moving the former product's folder into place once),
    // creates it and loads config.json. An empty `baseDir` (the system named no folder) gives no
    // profile folder: all defaults, and `profileDir` is only the folder's name. The process-wide
    // store uses profileBase() and the command line's profile suffix; tests point it at a temporary
    // folder.
    ConfigStore(const std::wstring& baseDir, const std::wstring& suffix);

    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // A full copy of the live settings.
    AppConfig get() const;

    // Runs `change` on a copy of the live settings; when it returns, the copy becomes the live
    // record and is saved. When it throws, the exception passes on and nothing changes. An empty
    // callable throws std::bad_function_call. `change` must not call get or update.
    void update(const std::function<void(AppConfig&)>& change);

    // Set once by the construction; read without the lock.
    std::wstring profileDir;  // no trailing separator
    std::wstring configPath;  // profileDir + "config.json"
    bool folderReady = false; // the profile folder exists (as a folder) after the load; nothing is
                              // read or saved without it

private:
    void load(const std::wstring& baseDir, const std::wstring& suffix);
    bool save();  // with mutex_ held

    mutable std::mutex mutex_;
    AppConfig config_;
};

// The process-wide store, created and loaded on first use and never destroyed.
ConfigStore& configStore();

// Platform pieces of the store (store_posix.cpp natively, store_win.cpp on Windows).
bool renamePath(const std::wstring& from, const std::wstring& to);  // fails if `to` exists
bool removeFile(const std::wstring& path);                           // a file, not a folder
// Last component only; true when a folder is there afterwards (made now or already there).
bool createFolder(const std::wstring& path);
