// The host's record of who connected, when, how they were admitted, over which route and for how
// long: one JSON array in the profile folder, newest first, at most 100 records. Every operation
// reads the whole file and writes it whole again through writeFileAtomic.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/json.h"

// The parts of a local time that the history shows.
struct LocalTimeParts {
    int year = 0;
    int yearDay = 0;  // 0..365
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
};
// Converts seconds since 1970 to local time; false when the system cannot.
using LocalTimeFn = std::function<bool(int64_t seconds, LocalTimeParts& out)>;
bool systemLocalTime(int64_t seconds, LocalTimeParts& out);

// One history file. The process-wide one lives at historyPath(); tests make their own.
class ConnectionHistory {
public:
    static constexpr size_t kMaxRecords = 100;

    explicit ConnectionHistory(std::wstring path);
    ConnectionHistory(const ConnectionHistory&) = delete;
    ConnectionHistory& operator=(const ConnectionHistory&) = delete;

    // The records, or an empty array when the file is missing, unreadable or not an array.
    // Neither load nor save takes the lock.
    Json load() const;
    void save(const Json& records) const;

    // Prepends {"name","at","how","route"} and keeps the newest 100; returns "at".
    double add(const std::string& name, const std::string& how, const std::string& route);
    // Gives every open record whose "at" equals `at` its "end".
    void end(double at);
    // Up to maxLines lines, newest first, in UTF-8.
    std::string text(int maxLines, const LocalTimeFn& localTime = systemLocalTime);

    const std::wstring path;

private:
    enum class FileState {
        Usable,      // parsed, missing or empty
        Damaged,     // read whole, but not an array
        Unreadable,  // there, but could not be opened or read (held by another program)
    };
    Json read(FileState& state) const;
    // Saves after a read: a damaged file only once it is kept aside, an unreadable one never.
    void replace(const Json& records, FileState state) const;

    std::mutex mutex_;
};

// The text form of the records (the tray shows it): one line per record, or
// "아직 접속한 기기가 없습니다." when there is none.
std::string formatHistory(const Json& records, int maxLines, const LocalTimeFn& localTime);

// The process-wide history: profile folder + "connections" + profile suffix + ".json".
std::wstring historyPath();
Json loadHistory();
void saveHistory(const Json& records);
double addConnectionRecord(const std::string& name, const std::string& how, const std::string& route);
void endConnectionRecord(double at);
#ifdef _WIN32
// The text form in UTF-16 for the tray's message box.
std::wstring connectionHistoryText(int maxLines);
#endif
