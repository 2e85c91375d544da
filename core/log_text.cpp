#include "core/log_text.h"

#include <algorithm>

std::string peerTextForLog(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::min(text.size(), kLogTextLimit) + 8);
    size_t i = 0;
    for (; i < text.size() && out.size() < kLogTextLimit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        auto at = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (c == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) {  // U+0080..U+009F
            out += "\\u00";
            out += kHex[at(1) >> 4];
            out += kHex[at(1) & 15];
            i += 1;
        } else if (c == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9)) {  // U+2028, U+2029
            out += at(2) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += char(c);
        }
    }
    if (i < text.size()) {
        // Never end inside a character: drop continuation bytes and their lead.
        size_t cut = out.size();
        while (cut > 0 && (static_cast<unsigned char>(out[cut - 1]) & 0xC0) == 0x80) --cut;
        if (cut > 0 && static_cast<unsigned char>(out[cut - 1]) >= 0xC0) {
            const unsigned char lead = static_cast<unsigned char>(out[cut - 1]);
            const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (out.size() - (cut - 1) < need) out.resize(cut - 1);
        }
        out += "…";
    }
    return out;
}
