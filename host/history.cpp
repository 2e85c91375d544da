#include "host/history.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "core/config/store.h"
#include "core/util.h"

#ifdef _WIN32
#include "core/text.h"
#endif

namespace {

// Beyond this the system's local-time conversion gives up (year 3000); clamping first also keeps
// any stored number, however large, a valid integer.
constexpr int64_t kLatestTime = 32503680000;

double numberOr0(const Json& value) { return value.isNumber() ? value.number : 0; }

std::string textOf(const Json& value) { return value.isString() ? value.text : std::string(); }

std::string whenText(double at, const LocalTimeFn& localTime) {
    LocalTimeParts t;
    if (!localTime || !localTime(checkedTrunc(at, 0, kLatestTime, 0), t)) return std::string();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d월 %02d일 %02d:%02d", t.month, t.day, t.hour, t.minute);
    return buf;
}

std::string durationText(const Json& record) {
    if (!record.has("end")) return " · 연결 중";
    double seconds = numberOr0(record.get("end")) - numberOr0(record.get("at"));
    int64_t minutes = checkedTrunc(seconds / 60, -kLatestTime, kLatestTime, 0);
    if (minutes <= 0) return " · 1분 안";
    if (minutes < 60) return " · " + std::to_string(minutes) + "분";
    return " · " + std::to_string(minutes / 60) + "시간 " + std::to_string(minutes % 60) + "분";
}

}  // namespace

bool systemLocalTime(int64_t seconds, LocalTimeParts& out) {
    std::tm tmv{};
#ifdef _WIN32
    __time64_t t = seconds;
    if (_localtime64_s(&tmv, &t) != 0) return false;
#else
    std::time_t t = std::time_t(seconds);
    if (!localtime_r(&t, &tmv)) return false;
#endif
    out.year = tmv.tm_year + 1900;
    out.yearDay = tmv.tm_yday;
    out.month = tmv.tm_mon + 1;
    out.day = tmv.tm_mday;
    out.hour = tmv.tm_hour;
    out.minute = tmv.tm_min;
    return true;
}

std::string formatHistory(const Json& records, int maxLines, const LocalTimeFn& localTime) {
    if (!records.isArray() || records.size() == 0) return "아직 접속한 기기가 없습니다.";
    std::string out;
    for (size_t i = 0; i < records.size() && int64_t(i) < int64_t(maxLines); ++i) {
        const Json& r = records.at(i);
        out += whenText(numberOr0(r.get("at")), localTime);
        out += "  " + textOf(r.get("name"));
        out += "  (" + textOf(r.get("how"));
        std::string route = textOf(r.get("route"));
        if (!route.empty()) out += " · " + route;
        out += durationText(r);
        out += ")\r\n";
    }
    return out;
}

ConnectionHistory::ConnectionHistory(std::wstring file) : path(std::move(file)) {}

Json ConnectionHistory::read(FileState& state) const {
    Bytes content;
    const bool readOk = tryReadFile(path, content);
    Json value;
    state = FileState::Usable;
    if (readOk && Json::parse(spanToString(content), value) && value.isArray()) return value;
    // Missing, or there but empty: nothing to keep. There but unreadable: another program (a
    // backup, a scanner, an editor) may hold it, which says nothing about its content.
    if (!readOk) state = pathExists(path) ? FileState::Unreadable : FileState::Usable;
    else if (!content.empty()) state = FileState::Damaged;
    Json empty;
    empty.tag = Json::kArray;
    return empty;
}

Json ConnectionHistory::load() const {
    FileState state;
    return read(state);
}

void ConnectionHistory::save(const Json& records) const {
    std::string text = records.dump();
    writeFileAtomic(path, asBytes(text));
}

void ConnectionHistory::replace(const Json& records, FileState state) const {
    // Writing after a read that saw nothing would drop every record the file holds.
    if (state == FileState::Unreadable) {
        logLine("접속 기록 파일을 열 수 없음(다른 프로그램이 쓰는 중일 수 있음) → 이번 기록은 건너뜀");
        return;
    }
    // A file that was read and does not parse is kept aside rather than overwritten, and never
    // overwritten while it cannot be kept.
    if (state == FileState::Damaged && moveAside(path).empty()) {
        logLine("접속 기록 파일을 읽을 수 없고 옮기지도 못함 → 기록하지 않음");
        return;
    }
    save(records);
}

double ConnectionHistory::add(const std::string& name, const std::string& how, const std::string& route) {
    std::lock_guard<std::mutex> lock(mutex_);
    double at = nowSeconds();
    Json record;
    record.set("name", name);
    record.set("at", at);
    record.set("how", how);
    record.set("route", route);
    FileState state;
    Json old = read(state);
    Json next;
    next.push(std::move(record));
    for (size_t i = 0; i < old.size() && next.size() < kMaxRecords; ++i) next.push(old.at(i));
    replace(next, state);
    return at;
}

void ConnectionHistory::end(double at) {
    std::lock_guard<std::mutex> lock(mutex_);
    FileState state;
    Json records = read(state);
    for (Json& r : records.items)
        if (r.isObject() && numberOr0(r.get("at")) == at && !r.has("end")) r.set("end", nowSeconds());
    replace(records, state);
}

std::string ConnectionHistory::text(int maxLines, const LocalTimeFn& localTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    return formatHistory(load(), maxLines, localTime);
}

namespace {

ConnectionHistory& processHistory() {
    // Admission and closing threads may still record while the process exits.
    static ConnectionHistory* history = new ConnectionHistory(historyPath());
    return *history;
}

}  // namespace

std::wstring historyPath() {
    return configStore().profileDir + kPathSeparator + L"connections" + profileSuffix() + L".json";
}

Json loadHistory() { return processHistory().load(); }
void saveHistory(const Json& records) { processHistory().save(records); }
double addConnectionRecord(const std::string& name, const std::string& how, const std::string& route) {
    return processHistory().add(name, how, route);
}
void endConnectionRecord(double at) { processHistory().end(at); }

#ifdef _WIN32
std::wstring connectionHistoryText(int maxLines) { return utf8ToWide(processHistory().text(maxLines)); }
#endif
