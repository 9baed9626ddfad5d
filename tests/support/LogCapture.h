#pragma once
// The one log capture of the tests: an appender that keeps what reaches it for assertions.
//   CLogCapture& log = CLogCapture::Fresh();            // plog::Logger<0> of this binary, emptied
//   CLogCapture capture(&velmar::TxtFormatter::format); // an appender of one's own, keeping the layout too
// Needs the diagnostics library (thread label).
#include "diagnostics/LogSeverity.h"
#include "diagnostics/ThreadLabel.h"

#include <plog/Appenders/IAppender.h>
#include <plog/Init.h>
#include <plog/Logger.h>
#include <plog/Record.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct LogLine
{
    int severity;
    std::wstring message;
    std::wstring formatted; // the capture's layout, made on the writing thread; empty without one
    std::wstring label;     // the writing thread's label at the moment of the write
    std::int64_t time;
    unsigned short millitm;
    unsigned int tid;
    std::size_t lineNumber;
    std::string func;
    std::string file;
};

class CLogCapture : public plog::IAppender
{
public:
    using Layout = std::wstring (*)(const plog::Record&);

    explicit CLogCapture(Layout layout = nullptr) : m_layout(layout) {}

    // The capture attached to plog::Logger<0>, which it creates on first use with every severity up to
    // DEBUG let through.
    static CLogCapture& Default()
    {
        static CLogCapture capture;
        static const bool attached =
            (plog::init<0>(plog::Severity{static_cast<int>(velmar::LogSeverity::Debug)}, &capture), true);
        (void)attached;
        return capture;
    }
    // Default(), emptied and writing again.
    static CLogCapture& Fresh()
    {
        CLogCapture& capture = Default();
        capture.Clear();
        capture.FailWrites(false);
        return capture;
    }

    // Keeps the record; throws std::runtime_error instead while FailWrites(true), like a broken appender.
    void write(const plog::Record& record) override
    {
        LogLine line{static_cast<int>(record.getSeverity()),
                     record.getMessage(),
                     m_layout != nullptr ? m_layout(record) : std::wstring(),
                     std::wstring(GetThreadLabel()),
                     static_cast<std::int64_t>(record.getTime().time),
                     record.getTime().millitm,
                     record.getTid(),
                     record.getLine(),
                     record.getFunc(),
                     record.getFile()};
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failWrites)
        {
            throw std::runtime_error("the appender failed");
        }
        m_lines.push_back(std::move(line));
    }

    void FailWrites(bool fail)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failWrites = fail;
    }

    std::vector<LogLine> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    // The lines so far, leaving the capture empty.
    std::vector<LogLine> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
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
    Layout m_layout;
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
    bool m_failWrites = false;
};
