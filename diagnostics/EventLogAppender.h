#pragma once
// The event-log appender of the program: one report per record, text in the MessageOnlyFormatter layout,
// type from the severity (FATAL/ERROR error, WARN warning, anything else information), category = severity.
#include "diagnostics/MessageOnlyFormatter.h"
#include "platform/UniqueHandle.h"

#include <plog/Appenders/EventLogAppender.h>
#include <plog/Appenders/IAppender.h>

#include <windows.h>

namespace plog
{

template <> class EventLogAppender<velmar::MessageOnlyFormatter> : public IAppender
{
public:
    // Opens the source on the local machine; a failure is not reported and later reports are lost.
    explicit EventLogAppender(const wchar_t* sourceName);
    ~EventLogAppender() override;
    EventLogAppender(const EventLogAppender&) = delete;
    EventLogAppender& operator=(const EventLogAppender&) = delete;

    void write(const Record& record) override;

    // EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_INFORMATION_TYPE.
    static ::WORD EventType(int severity) noexcept;

private:
    platform::UniqueEventSource m_source;
};

} // namespace plog
