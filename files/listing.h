// The host's folder listing: the JSON text a viewer browses with. An empty path gives the
// starting places (home, desktop, documents, downloads and the drives); any other path the
// visible entries of that folder, folders first, in the locale's order, at most 3000; a folder
// that cannot be opened gives its "error". Also the host's test whether a folder named by the
// viewer can take an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/json.h"

// Entries one listing holds: the first ones the file system gives, not the first by name.
inline constexpr size_t kMaxListingEntries = 3000;

// The hidden file that tells whether a folder takes new files.
inline constexpr const wchar_t* kWriteTestName = L".tavrel-write-test";

// One visible entry of a folder.
struct ListingEntry {
    std::wstring name;
    bool dir = false;
    uint64_t size = 0;
    double mtime = 0;  // whole seconds since 1970 (negative before it)
};

// Whether a found entry shows in a listing: not "." or "..", neither hidden nor system.
bool isListedEntry(const std::wstring& name, uint32_t attributes);

// Trailing "\" and "/" removed while the path is longer than three characters; "C:" becomes
// "C:\". A root keeps its separator.
std::wstring normaliseListingPath(std::wstring path);
// The folder one level up of a normalised path: "" for a root or a name without separators;
// "C:\Users" gives "C:\".
std::wstring listingParent(const std::wstring& path);
// Whole seconds since 1970 of a file time (100-nanosecond units since 1601).
double listingTime(int64_t fileTime);
// {"name", "dir", "size" (files only), "mtime"}.
Json listingEntryJson(const ListingEntry& entry);

// Negative when `a` goes before `b` (CompareStringEx's CSTR_LESS_THAN), 0 when they are equal.
using NameCompare = std::function<int(const std::wstring& a, const std::wstring& b)>;
// Folders first; within each kind by `compare`. Equal names keep no fixed order.
void sortListing(std::vector<ListingEntry>& entries, const NameCompare& compare);

// Where the starting places come from: the system on Windows; natively (and in tests) a source
// of one's own.
enum class KnownPlace { Profile, Desktop, Documents, Downloads };
// Drive types as GetDriveTypeW gives them.
inline constexpr uint32_t kDriveRemovable = 2;
inline constexpr uint32_t kDriveFixed = 3;
inline constexpr uint32_t kDriveRemote = 4;
inline constexpr uint32_t kDriveCdrom = 5;
inline constexpr uint32_t kDriveRamdisk = 6;
struct PlacesSource {
    std::function<std::wstring(KnownPlace)> knownFolder;         // "" when unknown
    std::function<uint32_t()> logicalDrives;                     // bit 0 is A:
    std::function<uint32_t(const std::wstring& root)> driveType; // root as "D:\"
    std::function<std::wstring(const std::wstring& root)> volumeLabel;
    std::function<bool(const std::wstring& path)> isFolder;      // an existing folder
};

struct ListingServices {
    PlacesSource places;
    NameCompare compare;
};
// The platform's: known folders, drives and CompareStringEx (ignoring case, digits as numbers)
// on Windows; natively the home folder and its usual subfolders, no drives, and a comparison
// with the same rules for ASCII letters.
ListingServices systemListingServices();

// Whether the path names an existing folder (the file layer's attributes).
bool isExistingFolder(const std::wstring& path);

// Appends {"name": label, "dir": true} to `entries` and the path to `rootPaths`, unless the path
// is empty or no existing folder.
void addRoot(Json& entries, Json& rootPaths, const std::wstring& label, const std::wstring& path,
             const std::function<bool(const std::wstring&)>& isFolder = isExistingFolder);
// {"path": "", "entries": places, "roots": the same places, "rootPaths": their paths}.
Json startingPlaces(const PlacesSource& source);

// The UTF-8 text of the listing of a UTF-8 path ("" = the starting places). Failures of the file
// system end up in "error"; nothing is kept between calls.
std::string listFolderJson(const std::string& path, const ListingServices& services);
std::string listFolderJson(const std::string& path);

// True when the path names a folder on another computer: a UNC path ("\\server\share", also
// behind "\\?\UNC\"), a device path, or a drive that `driveType` reports as a network drive.
// Asked before anything there is touched: a stalled share would hold whoever touched it.
bool isRemoteFolder(const std::wstring& path, const std::function<uint32_t(const std::wstring& root)>& driveType);

// True, with the path's wide form in `resolved`, when the folder is on this computer, exists and
// a new file can be made in it (kWriteTestName, created and gone again); false, `resolved`
// untouched, otherwise.
bool isFolderWritable(const std::string& path, std::wstring& resolved);

#ifdef _WIN32
struct _GUID;
// SHGetKnownFolderPath without flags or token; "" when the call fails.
std::wstring knownFolderPath(const _GUID& folderId);
#endif
