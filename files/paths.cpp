#include "files/paths.h"

#include <cstdint>

#include "core/config/store.h"
#include "core/util.h"
#include "files/fileio.h"

namespace {

bool isHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Units of the code point at text[i] and how many wide units it takes there: a pair of
// surrogates (Windows) or one unit above U+FFFF (natively) is two UTF-16 units.
void codePointAt(const std::wstring& text, size_t i, size_t& wideUnits, size_t& utf16Units) {
    const auto c = uint32_t(text[i]);
    wideUnits = 1;
    utf16Units = c > 0xFFFF ? 2 : 1;
    if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(uint32_t(text[i + 1]))) {
        wideUnits = 2;
        utf16Units = 2;
    }
}

// The longest start of `text` of at most `budget` UTF-16 units that ends between code points.
std::wstring cutToUnits(const std::wstring& text, size_t budget) {
    size_t i = 0, units = 0;
    while (i < text.size()) {
        size_t wide = 0, utf16 = 0;
        codePointAt(text, i, wide, utf16);
        if (units + utf16 > budget) break;
        units += utf16;
        i += wide;
    }
    return text.substr(0, i);
}

// Cuts the stem and keeps the last extension, so that a cut never changes the type of a file;
// an extension that leaves no room for a stem is cut with the rest.
std::wstring cutKeepingExtension(const std::wstring& name, size_t budget) {
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) {
        const std::wstring ext = name.substr(dot);
        const size_t extUnits = utf16Length(ext);
        if (extUnits < budget) return cutToUnits(name.substr(0, dot), budget - extUnits) + ext;
    }
    return cutToUnits(name, budget);
}

wchar_t asciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; }

// Device names Windows reserves in every folder, with or without an extension: the classic
// ones, the consoles, and COM and LPT with a digit 0-9 or a superscript ⁰ ¹ ² ³. Blanks between
// the name and its extension do not make it another name.
bool isReservedName(const std::wstring& piece) {
    std::wstring stem = piece.substr(0, piece.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (auto& c : stem) c = asciiUpper(c);
    for (const wchar_t* name : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (stem == name) return true;
    }
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t d = stem[3];
    return (d >= L'0' && d <= L'9') || d == L'\u2070' || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
}

// Marks that change the direction text is shown in: kept, they let a name show another
// extension than the one it has ("invoice\u202Efdp.exe" reads as "invoiceexe.pdf").
bool directionControl(uint32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool forbiddenInName(wchar_t c) {
    if (uint32_t(c) < 0x20 || c == 0x7F || directionControl(uint32_t(c))) return true;
    switch (c) {
        case L'\\': case L':': case L'<': case L'>': case L'"': case L'|': case L'?': case L'*':
            return true;
        default:
            return false;
    }
}

std::wstring cleanPiece(std::wstring piece) {
    for (auto& c : piece) {
        if (forbiddenInName(c)) c = L'_';
    }
    // A cut can leave a trailing dot or blank, or a device name, behind: clean until it holds.
    for (;;) {
        while (!piece.empty() && (piece.back() == L' ' || piece.back() == L'.')) piece.pop_back();
        if (piece.empty()) piece = L"_";
        if (isReservedName(piece)) piece.insert(0, 1, L'_');
        if (utf16Length(piece) <= kMaxComponentUnits) return piece;
        piece = cutKeepingExtension(piece, kMaxComponentUnits);
    }
}

}  // namespace

size_t utf16Length(const std::wstring& text) {
    size_t i = 0, units = 0;
    while (i < text.size()) {
        size_t wide = 0, utf16 = 0;
        codePointAt(text, i, wide, utf16);
        units += utf16;
        i += wide;
    }
    return units;
}

bool splitReceivedPath(const std::string& path, std::vector<std::wstring>& out) {
    out.clear();
    const std::wstring wide = wideFromUtf8(path);
    size_t start = 0;
    while (start <= wide.size()) {
        size_t slash = wide.find(L'/', start);
        if (slash == std::wstring::npos) slash = wide.size();
        std::wstring piece = wide.substr(start, slash - start);
        start = slash + 1;
        if (piece.empty()) continue;
        if (piece == L"." || piece == L"..") return false;
        out.push_back(cleanPiece(std::move(piece)));
        if (out.size() > kMaxPathComponents) return false;
    }
    return !out.empty();
}

std::wstring uniquePath(const std::wstring& folder, const std::wstring& name) {
    if (!pathExists(longPath(joinPath(folder, name)))) return name;
    std::wstring stem = name, ext;
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) {
        stem = name.substr(0, dot);
        ext = name.substr(dot);
    }
    for (int n = 2; n <= 9999; ++n) {
        std::wstring candidate = stem + L" (" + std::to_wstring(n) + L")" + ext;
        if (!pathExists(longPath(joinPath(folder, candidate)))) return candidate;
    }
    return stem + L" " + std::to_wstring(nowNanos() / 1000000) + ext;
}

std::wstring windowsLongPath(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::wstring longPath(const std::wstring& path) {
#ifdef _WIN32
    return windowsLongPath(path);
#else
    return path;
#endif
}

std::wstring fileNamePart(const std::wstring& path) {
    const size_t at = path.rfind(kPathSeparator);
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

std::wstring folderPart(const std::wstring& path) {
    const size_t at = path.rfind(kPathSeparator);
    return at == std::wstring::npos ? path : path.substr(0, at);
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == kPathSeparator) return folder + name;
    return folder + kPathSeparator + name;
}
