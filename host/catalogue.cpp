#include "host/catalogue.h"

#include <cmath>
#include <limits>

#include "core/util.h"

namespace {

std::wstring lowerAscii(std::wstring text) {
    // As the C runtime's towlower in the C locale: only A-Z change.
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
    return text;
}

int32_t points(int64_t pixels, double scale) {
    return int32_t(checkedTrunc(std::round(double(pixels) / scale), std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max(), 0));
}

Json emptyArray() {
    Json a;
    a.tag = Json::kArray;
    return a;
}

}  // namespace

bool isExcludedProgram(const std::wstring& name) {
    static const wchar_t* const kWords[] = {L"uninstall", L"제거",   L"readme",  L"도움말",
                                           L"help",      L"website", L"웹 사이트", L"release notes"};
    const std::wstring lower = lowerAscii(name);
    for (const wchar_t* word : kWords)
        if (lower.find(word) != std::wstring::npos) return true;
    return false;
}

bool isOwnProgramName(const std::wstring& name) { return name == L"Tavrel" || name == L"Varnoth"; }

std::wstring appNameFromImagePath(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (name.size() > 4 && lowerAscii(name.substr(name.size() - 4)) == L".exe") name.resize(name.size() - 4);
    return name;
}

bool windowLargeEnough(const ScreenRect& b) {
    return int64_t(b.right) - b.left > 119 && int64_t(b.bottom) - b.top > 79;
}

std::optional<ScreenRect> offeredBounds(const WindowFacts& f) {
    if (!f.visible || f.owned || f.toolWindow || f.cloaked) return std::nullopt;
    for (const wchar_t* shell : {L"Progman", L"Shell_TrayWnd", L"WorkerW", L"Shell_SecondaryTrayWnd"})
        if (f.className == shell) return std::nullopt;
    if (f.title.empty() || f.ownProcess) return std::nullopt;
    const std::optional<ScreenRect>& place = f.minimised ? f.normalPosition : f.bounds;
    if (!place || !windowLargeEnough(*place)) return std::nullopt;
    return place;
}

Json windowJson(const WindowInfo& window, double scale) {
    if (!(scale > 0) || !std::isfinite(scale)) scale = 1.0;
    Json out;
    out.set("id", window.handle);
    out.set("title", window.title);
    out.set("app", window.app);
    out.set("widthPt", points(int64_t(window.bounds.right) - window.bounds.left, scale));
    out.set("heightPt", points(int64_t(window.bounds.bottom) - window.bounds.top, scale));
    return out;
}

double windowScale(const WindowInfo& window, const std::vector<MonitorInfo>& monitors) {
    const ScreenRect& b = window.bounds;
    const int64_t x = (int64_t(b.left) + b.right) / 2;
    const int64_t y = (int64_t(b.top) + b.bottom) / 2;
    double scale = 1.0;
    for (const MonitorInfo& m : monitors)
        if (x >= m.left && x < m.right && y >= m.top && y < m.bottom) scale = m.scale;
    return scale;
}

Json catalogueReply(const std::vector<ProgramEntry>& programs, const std::vector<WindowInfo>& windows,
                    const std::vector<MonitorInfo>& monitors, const std::string& launching) {
    Json apps = emptyArray();
    for (const ProgramEntry& p : programs) {
        Json e;
        e.set("id", p.id);
        e.set("name", p.name);
        apps.push(std::move(e));
    }
    Json listed = emptyArray();
    for (const WindowInfo& w : windows) listed.push(windowJson(w, windowScale(w, monitors)));
    Json reply;
    reply.set("apps", std::move(apps));
    reply.set("windows", std::move(listed));
    if (!launching.empty()) reply.set("launching", launching);
    return reply;
}
