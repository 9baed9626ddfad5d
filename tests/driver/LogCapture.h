#pragma once
// Collects the records of the default logger so that tests can check the exact messages.
#include "diagnostics/LogSeverity.h"

#include <mutex>
#include <string>
#include <vector>

#include <plog/Appenders/IAppender.h>
#include <plog/Init.h>
#include <plog/Log.h>

struct LogLine
{
    int severity;
    std::wstring message;
};

class CLogCapture : public plog::IAppender
{
public:
    // The one capture of the process, installed as the default logger's appender with every
    // severity let through; emptied on each call.
    static CLogCapture& Fresh()
    {
        static CLogCapture capture;
        static bool installed = false;
        if (!installed)
        {
            plog::init<0>(static_cast<plog::Severity>(velmar::LogSeverity::Debug), &capture);
            installed = true;
        }
        capture.Clear();
        return capture;
    }

    void write(const plog::Record& record) override
    {
        std::lock_guard lock(m_mutex);
        m_lines.push_back({static_cast<int>(record.getSeverity()), record.getMessage()});
    }

    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

    std::vector<LogLine> Lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

    // The messages logged at one severity, in order.
    std::vector<std::wstring> At(velmar::LogSeverity severity) const
    {
        std::vector<std::wstring> messages;
        for (const LogLine& line : Lines())
        {
            if (line.severity == static_cast<int>(severity))
            {
                messages.push_back(line.message);
            }
        }
        return messages;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};
