// Local time as if the machine were in UTC, so texts built from local times do not depend on where
// tests run.
#pragma once

#include <chrono>
#include <cstdint>

#include "host/history.h"

inline bool utcTime(int64_t seconds, LocalTimeParts& out) {
    using namespace std::chrono;
    sys_seconds tp{std::chrono::seconds{seconds}};
    auto day = floor<days>(tp);
    year_month_day ymd{day};
    hh_mm_ss hms{tp - day};
    out.year = int(ymd.year());
    out.yearDay = int((day - sys_days{year_month_day{ymd.year(), January, std::chrono::day{1}}}).count());
    out.month = int(unsigned(ymd.month()));
    out.day = int(unsigned(ymd.day()));
    out.hour = int(hms.hours().count());
    out.minute = int(hms.minutes().count());
    return true;
}
