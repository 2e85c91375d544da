#include "files/listing.h"

#include <algorithm>
#include <utility>

#include "files/fileio.h"

namespace {

bool isSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

Json emptyArray() {
    Json array;
    array.tag = Json::kArray;
    return array;
}

// The part after the last separator; the whole path without one.
std::wstring lastPart(const std::wstring& path) {
    const size_t at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

}  // namespace

bool isListedEntry(const std::wstring& name, uint32_t attributes) {
    return name != L"." && name != L".." && !(attributes & (kAttrHidden | kAttrSystem));
}

std::wstring normaliseListingPath(std::wstring path) {
    while (path.size() > 3 && isSlash(path.back())) path.pop_back();
    if (path.size() == 2 && path[1] == L':') path += L'\\';
    return path;
}

std::wstring listingParent(const std::wstring& path) {
    const size_t at = path.find_last_of(L"\\/");
    if (at == std::wstring::npos || path.size() <= 3) return std::wstring();
    std::wstring parent = path.substr(0, at);
    if (parent.size() == 2) parent += L'\\';
    return parent;
}

double listingTime(int64_t fileTime) {
    constexpr int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970
    return double(fileTime / 10000000) - double(kEpochDifference);
}

Json listingEntryJson(const ListingEntry& entry) {
    Json out;
    out.set("name", utf8FromWide(entry.name));
    out.set("dir", entry.dir);
    if (!entry.dir) out.set("size", entry.size);
    out.set("mtime", entry.mtime);
    return out;
}

void sortListing(std::vector<ListingEntry>& entries, const NameCompare& compare) {
    // A merge sort: a comparison that is not a strict order (the system's, whatever it does) may
    // give an odd order but never reads past the ends.
    std::stable_sort(entries.begin(), entries.end(), [&compare](const ListingEntry& a, const ListingEntry& b) {
        if (a.dir != b.dir) return a.dir;
        return compare && compare(a.name, b.name) < 0;
    });
}

bool isExistingFolder(const std::wstring& path) {
    const uint32_t attributes = fileAttributes(path);
    return attributes != kInvalidAttributes && (attributes & kAttrDirectory) != 0;
}

void addRoot(Json& entries, Json& rootPaths, const std::wstring& label, const std::wstring& path,
             const std::function<bool(const std::wstring&)>& isFolder) {
    if (path.empty() || !isFolder || !isFolder(path)) return;
    Json place;
    place.set("name", utf8FromWide(label));
    place.set("dir", true);
    entries.push(std::move(place));
    rootPaths.push(utf8FromWide(path));
}

Json startingPlaces(const PlacesSource& source) {
    Json entries = emptyArray(), rootPaths = emptyArray();
    auto known = [&source](KnownPlace place) {
        return source.knownFolder ? source.knownFolder(place) : std::wstring();
    };
    const std::wstring profile = known(KnownPlace::Profile);
    addRoot(entries, rootPaths, L"홈 (" + lastPart(profile) + L")", profile, source.isFolder);
    addRoot(entries, rootPaths, L"바탕 화면", known(KnownPlace::Desktop), source.isFolder);
    addRoot(entries, rootPaths, L"문서", known(KnownPlace::Documents), source.isFolder);
    addRoot(entries, rootPaths, L"다운로드", known(KnownPlace::Downloads), source.isFolder);
    const uint32_t drives = source.logicalDrives ? source.logicalDrives() : 0;
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (1u << i))) continue;
        const std::wstring letter(1, wchar_t(L'A' + i));
        const std::wstring root = letter + L":\\";
        const uint32_t type = source.driveType ? source.driveType(root) : 0;
        if (type != kDriveRemovable && type != kDriveFixed && type != kDriveRemote) continue;
        const std::wstring volume = source.volumeLabel ? source.volumeLabel(root) : std::wstring();
        std::wstring label = L"드라이브 " + letter + L":";
        if (!volume.empty()) label += L" (" + volume + L")";
        addRoot(entries, rootPaths, label, root, source.isFolder);
    }
    Json out;
    out.set("path", "");
    out.set("entries", entries);
    out.set("roots", std::move(entries));
    out.set("rootPaths", std::move(rootPaths));
    return out;
}

std::string listFolderJson(const std::string& path, const ListingServices& services) {
    if (path.empty()) return startingPlaces(services.places).dump();
    const std::wstring folder = normaliseListingPath(wideFromUtf8(path));
    Json out;
    out.set("path", utf8FromWide(folder));
    out.set("parent", utf8FromWide(listingParent(folder)));

    std::vector<ListingEntry> entries;
    uint32_t error = 0;
    const bool opened = walkFolder(
        folder,
        [&entries](const FolderEntry& found) {
            if (!isListedEntry(found.name, found.attributes)) return true;
            entries.push_back({found.name, (found.attributes & kAttrDirectory) != 0, found.size,
                               listingTime(found.writeTime)});
            return entries.size() < kMaxListingEntries;
        },
        &error);
    if (!opened) {
        out.set("entries", emptyArray());
        out.set("error", "열 수 없습니다 (" + std::to_string(error) + ")");
        return out.dump();
    }
    sortListing(entries, services.compare);
    Json list = emptyArray();
    for (const ListingEntry& entry : entries) list.push(listingEntryJson(entry));
    out.set("entries", std::move(list));
    return out.dump();
}

std::string listFolderJson(const std::string& path) { return listFolderJson(path, systemListingServices()); }

bool isRemoteFolder(const std::wstring& path, const std::function<uint32_t(const std::wstring& root)>& driveType) {
    std::wstring rest = path;
    // "\\?\" only switches off the parsing of what follows; "\\?\UNC\" is a share again.
    if (rest.size() >= 4 && isSlash(rest[0]) && isSlash(rest[1]) && rest[2] == L'?' && isSlash(rest[3])) {
        rest.erase(0, 4);
        if (rest.size() >= 3 && (rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
            (rest[2] == L'C' || rest[2] == L'c') && (rest.size() == 3 || isSlash(rest[3])))
            return true;
    }
    if (rest.size() >= 2 && isSlash(rest[0]) && isSlash(rest[1])) return true;  // a share or a device
    const bool letter = rest.size() >= 2 && rest[1] == L':' &&
                        ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'));
    if (!letter || !driveType) return false;
    return driveType(std::wstring{rest[0], L':', L'\\'}) == kDriveRemote;
}

bool isFolderWritable(const std::string& path, std::wstring& resolved) {
    std::wstring folder = wideFromUtf8(path);
    if (folder.empty() || isRemoteFolder(folder, systemListingServices().places.driveType)) return false;
    if (!isExistingFolder(folder)) return false;
    const std::wstring probe = (isSlash(folder.back()) ? folder : folder + kPathSeparator) + kWriteTestName;
    if (createScratchFile(probe) != 0) return false;
    resolved = std::move(folder);
    return true;
}
