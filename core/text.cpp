#include "core/text.h"

#include <algorithm>
#include <cstdint>

std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out.push_back(char16_t(c));
            ++i;
            continue;
        }
        int len = 0;
        uint32_t cp = 0, min = 0;
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
        if (len == 0) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        int got = 1;
        while (got < len && i + got < n && (s[i + got] & 0xC0) == 0x80) {
            cp = (cp << 6) | (s[i + got] & 0x3F);
            ++got;
        }
        if (got < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            i += size_t(std::max(1, got));
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += size_t(len);
    }
    return out;
}

#ifndef _WIN32
std::wstring portableUtf8ToWide(const std::string& s) {
    const std::u16string units = utf8ToUtf16(s);
    std::wstring out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size()) {  // a pair: utf8ToUtf16 writes only whole ones
            u = 0x10000 + ((u - 0xD800) << 10) + (uint32_t(units[++i]) - 0xDC00);
        }
        out += wchar_t(u);
    }
    return out;
}

std::string portableWideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}
#endif

namespace {

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

std::u16string decimal(int64_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}
