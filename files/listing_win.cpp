// The starting places and the order of names from the system: known folders, the logical drives
// and the user's locale.
#include "files/listing.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

std::wstring knownFolderPath(const GUID& folderId) {
    PWSTR found = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(folderId, 0, nullptr, &found)) && found) path = found;
    if (found) CoTaskMemFree(found);
    return path;
}

namespace {

std::wstring systemKnownFolder(KnownPlace place) {
    switch (place) {
        case KnownPlace::Profile: return knownFolderPath(FOLDERID_Profile);
        case KnownPlace::Desktop: return knownFolderPath(FOLDERID_Desktop);
        case KnownPlace::Documents: return knownFolderPath(FOLDERID_Documents);
        case KnownPlace::Downloads: return knownFolderPath(FOLDERID_Downloads);
    }
    return std::wstring();
}

std::wstring systemVolumeLabel(const std::wstring& root) {
    wchar_t label[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0)) return {};
    label[MAX_PATH] = L'\0';
    return label;
}

// Case ignored and runs of digits compared by value ("file9" before "file10").
int systemCompareNames(const std::wstring& a, const std::wstring& b) {
    const int result = CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE | SORT_DIGITSASNUMBERS, a.c_str(),
                                       -1, b.c_str(), -1, nullptr, nullptr, 0);
    if (result == CSTR_LESS_THAN) return -1;
    if (result == CSTR_GREATER_THAN) return 1;
    return 0;
}

}  // namespace

ListingServices systemListingServices() {
    ListingServices services;
    services.places.knownFolder = systemKnownFolder;
    services.places.logicalDrives = [] { return uint32_t(GetLogicalDrives()); };
    services.places.driveType = [](const std::wstring& root) { return uint32_t(GetDriveTypeW(root.c_str())); };
    services.places.volumeLabel = systemVolumeLabel;
    services.places.isFolder = isExistingFolder;
    services.compare = systemCompareNames;
    return services;
}
