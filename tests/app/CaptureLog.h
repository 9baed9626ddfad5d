#pragma once
#include <plog/Appenders/IAppender.h>
#include <plog/Record.h>

#include <mutex>
#include <utility>
#include <string>
#include <vector>

// Records every line that reaches plog::Logger<0>, which this test binary creates once with the
// most verbose maximum severity.
class CCaptureLog : public plog::IAppender
{
public:
    struct Line
    {
        int severity;
        std::wstring message;
    };

    void write(const plog::Record& record) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({static_cast<int>(record.getSeverity()), record.getMessage()});
    }
    std::vector<Line> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    std::vector<Line> m_lines;
};

// The binary's capture, attached to plog::Logger<0> on first use; emptied before it is returned.
CCaptureLog& TestLog();
