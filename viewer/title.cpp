#include "viewer/title.h"

#include <cstdio>

#include "core/text.h"
#include "viewer/host_info.h"

namespace {

std::u16string ascii(const char* text) {
    std::u16string out;
    for (; *text; ++text) out.push_back(char16_t(static_cast<unsigned char>(*text)));
    return out;
}

// printf's rendering of one number; a huge round trip still fits, since %.0f of a double has at
// most 309 digits.
template <class T>
std::u16string formatted(const char* format, T value) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, format, value);
    return ascii(buffer);
}

}  // namespace

std::u16string cutUnits(const std::u16string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    if (end > 0 && text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF) --end;
    return text.substr(0, end);
}

std::u16string viewerTitle(const TitleFacts& facts, const Json& displayInfo) {
    const double mbps = double(facts.bytes) * 8 / 1000000;
    std::u16string stats = utf8ToUtf16(facts.name);
    stats += u" — " + formatted("%.0f", facts.rttMs) + u" ms · " + formatted("%d", int(facts.frames)) + u" fps · " +
             formatted("%.1f", mbps) + u" Mbps · " + formatted("%d", int(jsonInt32(displayInfo.get("width")))) + u"×" +
             formatted("%d", int(jsonInt32(displayInfo.get("height"))));
    if (!facts.route.empty()) stats += u" · " + utf8ToUtf16(facts.route);
    if (!facts.keyboardHook) stats += u" · 단축키 일부만";
    // A very long host name pushes the statistics out; the cut keeps whole characters.
    stats = cutUnits(stats, kTitleStatsLimit);
    if (!facts.transferText.empty()) return facts.transferText + u"  |  " + stats;
    if (!facts.lockedText.empty()) return facts.lockedText + u"  |  " + stats;
    return stats;
}
