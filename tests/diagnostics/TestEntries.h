#pragma once
// Test helpers: ring entries and records with a chosen time.
#include "diagnostics/ReplayRecord.h"

#include <time.h>

#include <cstdint>
#include <string>

// Local time -> time value, so expectations hold in every time zone.
inline std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    struct tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(_mktime64(&local));
}

inline plog::detail::AsyncEntry MakeEntry(int severity, const std::wstring& message, std::int64_t time = 0,
                                          unsigned short millitm = 0)
{
    plog::detail::AsyncEntry entry;
    entry.time = time;
    entry.millitm = millitm;
    entry.severity = severity;
    entry.message = message;
    return entry;
}
