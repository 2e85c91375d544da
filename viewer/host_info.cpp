#include "viewer/host_info.h"

#include <algorithm>
#include <climits>

#include "core/util.h"
#include "files/transfer_messages.h"

const char16_t* const kAppPickHint =
    u"원격 Mac 에서 볼 프로그램을 고르세요.\n위 '프로그램' 메뉴에서 열린 창이나 프로그램을 고릅니다.";

namespace {

constexpr double kUnknownWidth = 16;
constexpr double kUnknownHeight = 10;
// The window is sized for this many points before the host has said anything.
constexpr double kDefaultWidth = 1280;
constexpr double kDefaultHeight = 800;
constexpr double kWorkAreaShare = 0.9;

}  // namespace

int32_t jsonInt32(const Json& value, int32_t fallback) {
    if (!value.isNumber()) return fallback;
    return int32_t(checkedTrunc(value.number, INT32_MIN, INT32_MAX, fallback));
}

uint32_t windowIdOf(const Json& id) {
    // Window ids are 32-bit on both kinds of host; above 2^31 they must not be clamped.
    if (!id.isNumber()) return 0;
    return uint32_t(checkedTrunc(id.number, INT32_MIN, UINT32_MAX, 0));
}

std::optional<std::string> hostNameIn(const Json& description) {
    const Json& name = description.get("name");
    if (!name.isString()) return std::nullopt;
    return cappedPeerText(name.text, kMaxHostNameBytes);
}

bool hostListsFeature(const Json& displayInfo, std::string_view name) {
    const Json& features = displayInfo.get("features");
    if (!features.isArray()) return false;
    for (const Json& f : features.items)
        if ((f.isString() ? std::string_view(f.text) : std::string_view()) == name) return true;
    return false;
}

bool isWindowsHost(const Json& displayInfo, bool hasSession, const std::string& sessionHostOs) {
    const Json& os = displayInfo.get("os");
    if (os.isString()) return os.text == "windows";
    return hasSession && sessionHostOs == "windows";
}

bool remoteSize(const Json& displayInfo, double& width, double& height) {
    const Json& window = displayInfo.get("window");
    if (window.isObject()) {
        // A window may be narrower than a point; it still has a size.
        const Json& w = window.get("widthPt");
        const Json& h = window.get("heightPt");
        width = w.isNumber() ? (w.number > 1 ? w.number : 1) : kUnknownWidth;
        height = h.isNumber() ? (h.number > 1 ? h.number : 1) : kUnknownHeight;
        return w.isNumber() && h.isNumber();
    }
    const int32_t current = jsonInt32(displayInfo.get("current"));
    const Json& display = current >= 0 ? displayInfo.get("displays").at(size_t(current)) : displayInfo.get("");
    const Json& w = display.isObject() ? display.get("widthPt") : displayInfo.get("width");
    const Json& h = display.isObject() ? display.get("heightPt") : displayInfo.get("height");
    width = w.isNumber() && w.number > 0 ? w.number : kUnknownWidth;
    height = h.isNumber() && h.number > 0 ? h.number : kUnknownHeight;
    return w.isNumber() && w.number > 0 && h.isNumber() && h.number > 0;
}

void sizingPicture(const Json& displayInfo, double& width, double& height) {
    if (!remoteSize(displayInfo, width, height)) {
        width = kDefaultWidth;
        height = kDefaultHeight;
    }
}

HostInfoStep hostInfoStep(const Json& info, bool first, bool hasSession, uint32_t previousWindowId,
                          bool appPickHint, bool fullScreen) {
    HostInfoStep step;
    step.titleName = hostNameIn(info);

    step.requestApps = first && hostListsFeature(info, "apps") && hasSession;

    // A host decides what it reports, not how much of the settings file it fills.
    const Json& wake = info.get("wake");
    if (wake.isArray() && wake.size() > 0) {
        Json kept = boundedWakeData(wake);
        if (kept.size() > 0) step.wake = std::move(kept);
    }

    step.shownWindowId = windowIdOf(info.get("window").get("id"));
    if (info.get("appsOnly").asBool() && step.shownWindowId == 0) {
        step.hint = HostInfoStep::Hint::Show;
        return step;
    }
    if (appPickHint) step.hint = HostInfoStep::Hint::Clear;
    // The window follows the picture only when it first arrives and when the shown window changes;
    // a size the user chose for the same picture stays.
    step.resize = !((step.shownWindowId == previousWindowId && !first) || fullScreen);
    return step;
}

Json boundedWakeData(const Json& wake) {
    Json kept;
    kept.tag = Json::kArray;
    if (!wake.isArray()) return kept;
    for (const Json& entry : wake.items) {
        if (kept.size() >= kMaxStoredWakeEntries) break;
        const Json& mac = entry.get("mac");
        if (!mac.isString() || mac.text.empty() || mac.text.size() > kWakeMacTextMax) continue;
        Json target;
        target.set("mac", mac.text);
        const Json& bcast = entry.get("bcast");
        if (bcast.isString() && bcast.text.size() <= kWakeAddressTextMax) target.set("bcast", bcast.text);
        kept.push(std::move(target));
    }
    return kept;
}

int storeWakeData(AppConfig& config, const std::string& key, const Json& wake) {
    if (key.empty()) return 0;
    const std::string text = wake.dump();
    int changed = 0;
    for (Peer& host : config.hosts) {
        if (host.key != key || host.wake.dump() == text) continue;
        host.wake = wake;
        ++changed;
    }
    return changed;
}

PixelSize viewerClientSize(double width, double height, int workWidth, int workHeight, unsigned dpi) {
    const double aw = kWorkAreaShare * workWidth;
    const double ah = kWorkAreaShare * workHeight;
    const double s = dpi / 96.0;
    const double k = std::min(std::min(ah / (height * s), aw / (width * s)), 1.0);
    return PixelSize{int(checkedTrunc(k * width * s, 0, INT_MAX, 0)), int(checkedTrunc(k * height * s, 0, INT_MAX, 0))};
}

PixelPoint centredIn(int workLeft, int workTop, int workWidth, int workHeight, int windowWidth, int windowHeight) {
    return PixelPoint{int(workLeft + (int64_t(workWidth) - windowWidth) / 2),
                      int(workTop + (int64_t(workHeight) - windowHeight) / 2)};
}
