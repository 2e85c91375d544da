#include "viewer/window_model.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

#include "core/text.h"
#include "viewer/host_info.h"
#include "viewer/session.h"

const char16_t* const kConnectingText = u"연결 중…";
const char16_t* const kReconnectingText = u"다시 연결 중…";
const char16_t* const kReceivingText = u"화면 받는 중…";
const char16_t* const kDroppedStatusText = u"연결이 끊겼습니다";
const char16_t* const kDroppedRetryText = u"연결이 끊겼습니다 — 다시 연결 중…";

namespace {

// What connectPeer says when no route reached the host.
constexpr char kNoRouteError[] = "연결할 수 없습니다";
// PasswordRefused's text.
constexpr char kPasswordRefusedError[] = "원격 컴퓨터가 비밀번호 접속을 받지 않습니다";

constexpr int kGiveUpAfter = 20;
constexpr int kLongestRetryUnits = 10;
constexpr int kViewSizeSlack = 4;

bool restarting(const ReconnectState& state, int64_t now) { return now < state.restartUntil; }

}  // namespace

Json sessionRequest(const AppConfig& config, const Json& displayInfo, int viewWidth, int viewHeight,
                    bool hevcDecoder) {
    const Json& current = displayInfo.get("current");
    const int64_t display = current.isNumber() ? checkedTrunc(current.number, INT32_MIN, INT32_MAX, 0) : 0;
    Json codecs;
    if (hevcDecoder) codecs.push("hevc");
    codecs.push("h264");
    Json request;
    request.set("retina", config.retina);
    request.set("fps", 60);
    request.set("display", display);
    request.set("viewW", viewWidth);
    request.set("viewH", viewHeight);
    request.set("os", "windows");
    request.set("codecs", std::move(codecs));
    request.set("keymap", false);
    request.set("quality", config.quality);
    request.set("audio", config.audio);
    return request;
}

bool hostHasFeature(const Json& displayInfo, std::string_view name) {
    const Json& features = displayInfo.get("features");
    if (!features.isArray()) return false;
    for (const Json& f : features.items)
        if ((f.isString() ? std::string_view(f.text) : std::string_view()) == name) return true;
    return false;
}

ViewerLayout viewerLayout(int width, int height) {
    ViewerLayout l;
    l.video = {0, 0, width, height};
    l.statusLine = {20, height / 2 - 60, std::max(width - 40, 10), 60};
    l.reconnectButton = {width / 2 - 70, height / 2 + 10, 140, 34};
    return l;
}

bool viewSizeWorthReporting(int lastWidth, int lastHeight, int width, int height) {
    return std::llabs(int64_t(width) - lastWidth) > kViewSizeSlack ||
           std::llabs(int64_t(height) - lastHeight) > kViewSizeSlack;
}

std::u16string lockedTitleText(bool locked, bool hostCanUnlock) {
    if (!locked) return std::u16string();
    if (hostCanUnlock) return u"원격 화면이 잠겨 있습니다 — 더 보기 › 잠긴 컴퓨터 로그인";
    return u"원격 화면이 잠겨 있습니다 — 원격 쪽에서 '잠긴 화면에서도 로그인 허용' 을 켜면 여기서 로그인합니다";
}

bool givingUp(const ReconnectState& state, int64_t now) {
    return state.attempts >= kGiveUpAfter && !restarting(state, now);
}

std::u16string finalFailureText(const std::string& error, bool hasPassword) {
    if (error == kNoRouteError) {
        if (hasPassword)
            return u"접속 ID 로 원격 컴퓨터를 찾을 수 없습니다\n원격 쪽에서 비밀번호 접속이 켜져 있는지, 양쪽에 같은 "
                   u"중계 서버가 설정되어 있는지 확인하세요 (같은 망이면 주소로도 연결할 수 있습니다)";
        return u"원격 컴퓨터를 찾을 수 없습니다\n원격 제어 허용이 켜져 있는지, 같은 망이거나 중계 서버가 설정되어 "
               u"있는지 확인하세요";
    }
    if (error == kPasswordRefusedError)
        return u"원격 컴퓨터가 비밀번호 접속을 받지 않습니다\n꺼져 있거나, 여러 번 틀려 잠시 잠겼을 수 있습니다";
    return utf8ToUtf16(error);
}

ReconnectStep afterConnectFailed(ReconnectState& state, int64_t now, const std::string& error, bool hasPassword,
                                 const ReconnectTiming& timing) {
    if (!state.autoReconnect || givingUp(state, now))
        return {finalFailureText(error, hasPassword), !hasPassword, 0};
    const int n = ++state.attempts;
    ReconnectStep step;
    step.status = restarting(state, now)
                      ? u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다… (" + decimal(n) + u")"
                      : u"다시 연결 중… (" + decimal(n) + u")";
    const int units = std::min(1 << std::min(n, 4), kLongestRetryUnits);
    step.retryMs = units * timing.retryUnitMs;
    return step;
}

ReconnectStep afterSessionEnded(ReconnectState& state, int64_t now, const ReconnectTiming& timing) {
    if (!state.autoReconnect || givingUp(state, now)) return {kDroppedStatusText, true, 0};
    ++state.attempts;
    ReconnectStep step;
    step.status = restarting(state, now) ? u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다…"
                                         : kDroppedRetryText;
    step.retryMs = timing.afterDropMs;
    return step;
}

std::u16string endedStatusText(const std::u16string& stepStatus, const std::string& reason) {
    const std::u16string dropped = kDroppedStatusText;
    if (reason != kHostStalledText || stepStatus.compare(0, dropped.size(), dropped) != 0) return stepStatus;
    return utf8ToUtf16(reason) + stepStatus.substr(dropped.size());
}

void wipeText(std::string& text) {
    std::fill(text.begin(), text.end(), '\0');
    text.clear();
}

void wipeText(std::wstring& text) {
    std::fill(text.begin(), text.end(), L'\0');
    text.clear();
}

bool learnPeerFromHost(Peer& peer, Bytes& token, std::string& password, const Json& hostHello,
                       const std::string& hostKey) {
    if (token.empty() && password.empty() && !peer.os.empty()) return false;
    peer.name = hostNameIn(hostHello).value_or(peer.name);
    peer.os = hostHello.get("os").asString("mac");
    token.clear();
    if (!password.empty() && !hostKey.empty()) {
        peer.key = hostKey;
        wipeText(password);
    }
    return true;
}

namespace {

bool onlyLatestCounts(ViewerReport::Kind kind) {
    switch (kind) {
        case ViewerReport::DisplayInfo:
        case ViewerReport::Cursor:
        case ViewerReport::AppList:
        case ViewerReport::TransferStatus:
        case ViewerReport::FolderListing:
        case ViewerReport::Locked:
        case ViewerReport::Curtain:
            return true;
        default:
            return false;
    }
}

bool isLine(ViewerReport::Kind kind) {
    return kind == ViewerReport::Notice || kind == ViewerReport::Chat || kind == ViewerReport::TransferResult;
}

size_t lineSize(const ViewerReport& line) {
    return line.text.size() + line.bytes.size() + line.path.size() * sizeof(wchar_t);
}

}  // namespace

bool ReportMailbox::put(std::unique_ptr<ViewerReport> report) {
    if (!report) return false;
    std::lock_guard lock(mutex_);
    auto wake = [this] { return !std::exchange(woken_, true); };
    if (onlyLatestCounts(report->kind)) {
        for (auto& waiting : waiting_) {
            if (waiting->kind == report->kind && waiting->generation == report->generation) {
                waiting = std::move(report);
                return wake();
            }
        }
    } else if (isLine(report->kind)) {
        // A flood: the window has not taken the ones before.
        const size_t size = lineSize(*report);
        if (lines_ >= kMaxLines || size > kMaxLineBytes - lineBytes_) return false;
        ++lines_;
        lineBytes_ += size;
    }
    waiting_.push_back(std::move(report));
    return wake();
}

std::unique_ptr<ViewerReport> ReportMailbox::take() {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) {
        woken_ = false;
        return nullptr;
    }
    std::unique_ptr<ViewerReport> next = std::move(waiting_.front());
    waiting_.pop_front();
    if (isLine(next->kind)) {
        --lines_;
        lineBytes_ -= lineSize(*next);
    }
    return next;
}

void ReportMailbox::wakeFailed() {
    std::lock_guard lock(mutex_);
    woken_ = false;
}

void ReportMailbox::clear() {
    std::lock_guard lock(mutex_);
    waiting_.clear();
    lines_ = 0;
    lineBytes_ = 0;
}

size_t ReportMailbox::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

size_t ReportMailbox::lineBytes() const {
    std::lock_guard lock(mutex_);
    return lineBytes_;
}

uint64_t ReportGate::begin() {
    waiting_.clear();
    connected_ = false;
    return ++generation_;
}

std::vector<std::unique_ptr<ViewerReport>> ReportGate::admit(std::unique_ptr<ViewerReport> report) {
    std::vector<std::unique_ptr<ViewerReport>> apply;
    if (!report) return apply;
    if (report->generation == 0) {  // the window's own chat lines
        apply.push_back(std::move(report));
        return apply;
    }
    if (report->generation != generation_) return apply;  // a replaced connect's
    switch (report->kind) {
        case ViewerReport::Connected:
            connected_ = true;
            apply.push_back(std::move(report));
            while (std::unique_ptr<ViewerReport> next = waiting_.take()) apply.push_back(std::move(next));
            return apply;
        case ViewerReport::ConnectFailed:
            waiting_.clear();
            apply.push_back(std::move(report));
            return apply;
        default:
            if (connected_)
                apply.push_back(std::move(report));
            else
                waiting_.put(std::move(report));
            return apply;
    }
}
