// What the remote file browser shows, decided from one folder listing of the host: the full
// remote path of a row, the three cells of each row, the path line, the status texts and where
// the six controls go. The window (browse_window.h) only applies these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/json.h"
#include "files/listing.h"

// Control ids of the browser window.
inline constexpr int kBrowseListId = 5001;
inline constexpr int kBrowseUpId = 5002;
inline constexpr int kBrowseReceiveId = 5003;
inline constexpr int kBrowseSendId = 5004;

// Rows the browser shows at most: as many as a host lists.
inline constexpr size_t kMaxBrowseRows = kMaxListingEntries;

// The listing's "path" when it is a string, else "" (the starting places).
std::string browseCurrentPath(const Json& listing);
// The listing's "entries": their number, at most kMaxBrowseRows, and the i-th of them (the null
// value past the end). An object's members count as entries; anything else has none.
size_t browseEntryCount(const Json& listing);
const Json& browseEntry(const Json& listing, size_t i);
// An entry is a folder when its "dir" is the boolean true.
bool browseEntryIsFolder(const Json& entry);
// The entry's "name" when it is a string, else "".
std::string browseEntryName(const Json& entry);

// The remote path of row i: on the starting places the i-th "rootPaths" string; in a folder its
// path and the row's name joined with "/" when the path has "/" and no "\", else with "\" (no
// second separator after a root such as "C:\").
std::string browsePathAt(const Json& listing, size_t i);

// Converts seconds since 1970 to local time; false when the system refuses (before 1970 or out
// of its range on Windows).
using BrowseLocalTime = std::function<bool(int64_t seconds, std::tm& out)>;
bool systemBrowseLocalTime(int64_t seconds, std::tm& out);

// The three cells of a row: "📁 " + name for a folder; the size of a file (formatSize); the
// last change as "%Y-%m-%d %H:%M" local time, empty without an "mtime", for 0 and when the
// conversion is refused.
struct BrowseRow {
    std::string name;
    std::string size;
    std::string time;
};
BrowseRow browseRow(const Json& entry, const BrowseLocalTime& localTime = systemBrowseLocalTime);
std::vector<BrowseRow> browseRows(const Json& listing, const BrowseLocalTime& localTime = systemBrowseLocalTime);

// Texts of the window.
std::string browseTitle(const std::string& peerName);        // "원격 파일 — " + name
std::string browsePathLine(const Json& listing);             // the path, or "처음 자리"
std::string browseListingStatus(const Json& listing);        // "N개 · …" or the "error" text
extern const char* const kBrowseOpeningText;                 // "여는 중…"
extern const char* const kBrowseNothingSelectedText;         // "받을 파일 · 폴더를 고르세요"
extern const char* const kBrowsePickerTitle;                 // "원격 폴더로 보낼 파일"
std::string browseReceivingText(const std::string& name);    // "받는 중: " + name
std::string browseReceivingCountText(size_t count);          // "받는 중: N개 → 다운로드 폴더"
std::string browseSendingText(size_t count, const std::string& folder);  // "보내는 중: N개 → " + folder

// Metrics in units of 96 DPI, scaled with rounding.
int browseScale(int value, int dpi);
struct BrowseRect {
    int left = 0, top = 0, width = 0, height = 0;
};
struct BrowseLayout {
    BrowseRect up, receive, send, path, list, status;
};
// Where the controls go in a client area of w x h at the window's DPI.
BrowseLayout browseLayout(int width, int height, int dpi);
