#pragma once
// Test helpers: an appender that keeps what reaches it, and records with a chosen time.
#include "diagnostics/ReplayRecord.h"
#include "diagnostics/TxtFormatter.h"

#include <plog/Appenders/IAppender.h>

#include <time.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct CapturedRecord
{
    int severity;
    std::wstring message;
    std::wstring line; // TxtFormatter layout, formatted on the thread that called the appender
    std::int64_t time;
    unsigned short millitm;
    unsigned int tid;
    std::size_t lineNumber;
    std::string func;
    std::string file;
};

class CCaptureAppender : public plog::IAppender
{
public:
    void write(const plog::Record& record) override
    {
        CapturedRecord captured{static_cast<int>(record.getSeverity()),
                                record.getMessage(),
                                velmar::TxtFormatter::format(record),
                                static_cast<std::int64_t>(record.getTime().time),
                                record.getTime().millitm,
                                record.getTid(),
                                record.getLine(),
                                record.getFunc(),
                                record.getFile()};
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(std::move(captured));
    }

    std::vector<CapturedRecord> Records()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }

private:
    std::mutex m_mutex;
    std::vector<CapturedRecord> m_records;
};

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
