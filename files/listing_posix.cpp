// Native stand-ins of the listing's system services: the home folder and its usual subfolders
// as places, no drives, and names compared as the system does on Windows for ASCII letters
// (case ignored, runs of digits by value).
#include "files/listing.h"

#include <cstdlib>

#include "files/fileio.h"

namespace {

wchar_t lowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; }
bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int compareNames(const std::wstring& a, const std::wstring& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Leading zeros aside, the longer run is the larger number; equal lengths compare digit by digit.
            while (i < a.size() && a[i] == L'0') ++i;
            while (j < b.size() && b[j] == L'0') ++j;
            size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
            for (; i < ei; ++i, ++j) {
                if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            }
            continue;
        }
        const wchar_t x = lowerAscii(a[i]), y = lowerAscii(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

std::wstring homeFolder() {
    const char* home = std::getenv("HOME");
    return home ? wideFromUtf8(home) : std::wstring();
}

std::wstring homePlace(KnownPlace place) {
    const std::wstring home = homeFolder();
    if (home.empty()) return home;
    switch (place) {
        case KnownPlace::Profile: return home;
        case KnownPlace::Desktop: return home + L"/Desktop";
        case KnownPlace::Documents: return home + L"/Documents";
        case KnownPlace::Downloads: return home + L"/Downloads";
    }
    return std::wstring();
}

}  // namespace

ListingServices systemListingServices() {
    ListingServices services;
    services.places.knownFolder = homePlace;
    services.places.logicalDrives = [] { return 0u; };
    services.places.isFolder = isExistingFolder;
    services.compare = compareNames;
    return services;
}
