#include "files/browse.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/util.h"
#include "files/status.h"

const char* const kBrowseOpeningText = "여는 중…";
const char* const kBrowseNothingSelectedText = "받을 파일 · 폴더를 고르세요";
const char* const kBrowsePickerTitle = "원격 폴더로 보낼 파일";

namespace {

const Json& nullJson() {
    static const Json value;
    return value;
}

std::string textOf(const Json& value) { return value.isString() ? value.text : std::string(); }

}  // namespace

std::string browseCurrentPath(const Json& listing) { return textOf(listing.get("path")); }

size_t browseEntryCount(const Json& listing) {
    const Json& entries = listing.get("entries");
    return entries.isArray() || entries.isObject() ? std::min(entries.size(), kMaxBrowseRows) : 0;
}

const Json& browseEntry(const Json& listing, size_t i) {
    const Json& entries = listing.get("entries");
    if (entries.isArray()) return entries.at(i);
    if (entries.isObject() && i < entries.members.size()) return entries.members[i].second;
    return nullJson();
}

bool browseEntryIsFolder(const Json& entry) { return entry.get("dir").isBool() && entry.get("dir").boolean; }

std::string browseEntryName(const Json& entry) { return textOf(entry.get("name")); }

std::string browsePathAt(const Json& listing, size_t i) {
    const std::string cur = browseCurrentPath(listing);
    if (cur.empty()) return textOf(listing.get("rootPaths").at(i));
    // A host with POSIX paths is served as well.
    const char separator = cur.find('/') != std::string::npos && cur.find('\\') == std::string::npos ? '/' : '\\';
    const std::string name = browseEntryName(browseEntry(listing, i));
    return cur.back() == separator ? cur + name : cur + separator + name;
}

bool systemBrowseLocalTime(int64_t seconds, std::tm& out) {
#ifdef _WIN32
    const __time64_t t = seconds;
    return _localtime64_s(&out, &t) == 0;
#else
    if (seconds < 0) return false;  // refused as Windows refuses it, so both builds show the same
    const std::time_t t = std::time_t(seconds);
    return localtime_r(&t, &out) != nullptr;
#endif
}

BrowseRow browseRow(const Json& entry, const BrowseLocalTime& localTime) {
    BrowseRow row;
    const bool folder = browseEntryIsFolder(entry);
    row.name = (folder ? "📁 " : "") + browseEntryName(entry);
    if (!folder) {
        // A size from the peer may be negative, not finite or beyond 64 bits.
        const Json& size = entry.get("size");
        const int64_t bytes =
            size.isNumber() ? checkedTrunc(size.number, 0, std::numeric_limits<int64_t>::max(), 0) : 0;
        row.size = formatSize(uint64_t(bytes));
    }
    const Json& mtime = entry.get("mtime");
    if (mtime.isNumber() && mtime.number != 0 && localTime) {
        const int64_t seconds = checkedTrunc(mtime.number, std::numeric_limits<int64_t>::min(),
                                             std::numeric_limits<int64_t>::max(), 0);
        std::tm parts{};
        char text[33];
        if (localTime(seconds, parts) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts) > 0)
            row.time = text;
    }
    return row;
}

std::vector<BrowseRow> browseRows(const Json& listing, const BrowseLocalTime& localTime) {
    std::vector<BrowseRow> rows;
    const size_t count = browseEntryCount(listing);
    rows.reserve(count);
    for (size_t i = 0; i < count; ++i) rows.push_back(browseRow(browseEntry(listing, i), localTime));
    return rows;
}

std::string browseTitle(const std::string& peerName) { return "원격 파일 — " + peerName; }

std::string browsePathLine(const Json& listing) {
    const std::string cur = browseCurrentPath(listing);
    return cur.empty() ? "처음 자리" : cur;
}

std::string browseListingStatus(const Json& listing) {
    if (listing.has("error")) return textOf(listing.get("error"));
    return std::to_string(browseEntryCount(listing)) + "개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)";
}

std::string browseReceivingText(const std::string& name) { return "받는 중: " + name; }

std::string browseReceivingCountText(size_t count) {
    return "받는 중: " + std::to_string(count) + "개 → 다운로드 폴더";
}

std::string browseSendingText(size_t count, const std::string& folder) {
    return "보내는 중: " + std::to_string(count) + "개 → " + folder;
}

int browseScale(int value, int dpi) {
    // As MulDiv: the exact product, rounded half away from zero.
    const int64_t product = int64_t(value) * dpi;
    return int(product >= 0 ? (product + 48) / 96 : (product - 48) / 96);
}

BrowseLayout browseLayout(int width, int height, int dpi) {
    const int m = browseScale(8, dpi), h = browseScale(30, dpi), button = browseScale(64, dpi),
              send = browseScale(140, dpi), s = browseScale(22, dpi);
    BrowseLayout out;
    out.up = {m, m, button, h};
    out.send = {width - m - send, m, send, h};
    out.receive = {width - m - send - m - button, m, button, h};
    out.path = {button + 2 * m, m, width - button - button - send - 5 * m, h};
    out.list = {0, h + 2 * m, width, height - h - 2 * m - s - m};
    out.status = {m, height - s - m / 2, width - 2 * m, s};
    return out;
}
