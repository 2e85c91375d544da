#include "core/text.h"

#include <cstdint>

namespace {

#ifndef _WIN32
// The ids shown here are ASCII; other bytes only need a faithful, crash-free rendering.
// Invalid sequences become U+FFFD, one per offending byte.
std::wstring portableUtf8ToWide(const std::string& s) {
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) { cp = c; len = 1; }
        else if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1Fu; len = 2; }
        else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0Fu; len = 3; }
        else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07u; len = 4; }
        else { out += wchar_t(0xFFFD); ++i; continue; }
        bool ok = i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                   (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) { out += wchar_t(0xFFFD); ++i; continue; }
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out += wchar_t(0xD800 + (cp >> 10));
                out += wchar_t(0xDC00 + (cp & 0x3FF));
            } else {
                out += wchar_t(cp);
            }
        } else {
            out += wchar_t(cp);
        }
        i += len;
    }
    return out;
}
#endif

std::wstring toWide(const std::string& s) {
#ifdef _WIN32
    return utf8ToWide(s);
#else
    return portableUtf8ToWide(s);
#endif
}

}  // namespace

std::wstring formatAccessId(const std::string& id) {
    std::wstring wide = toWide(id);
    // Grouping by bytes is only meaningful when every byte is one character.
    if (id.size() != 9 || wide.size() != 9) return wide;
    return wide.substr(0, 3) + L' ' + wide.substr(3, 3) + L' ' + wide.substr(6, 3);
}

std::string parseAccessId(const std::wstring& text) {
    std::string digits;
    for (wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            digits += static_cast<char>('0' + (c - L'0'));
            if (digits.size() > 9) return std::string();
        } else if (c != L' ' && c != L'\t' && c != L'-') {
            return std::string();
        }
    }
    return digits.size() == 9 ? digits : std::string();
}
