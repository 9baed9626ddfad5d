#include "diagnostics/EventLogAppender.h"

#include "platform/SystemApi.h"

namespace plog
{

EventLogAppender<velmar::MessageOnlyFormatter>::EventLogAppender(const wchar_t* sourceName)
    : m_source(platform::Api().RegisterEventSourceW(nullptr, sourceName))
{
}

EventLogAppender<velmar::MessageOnlyFormatter>::~EventLogAppender() = default;

::WORD EventLogAppender<velmar::MessageOnlyFormatter>::EventType(int severity) noexcept
{
    switch (severity)
    {
    case 1:
    case 2:
        return EVENTLOG_ERROR_TYPE;
    case 3:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

void EventLogAppender<velmar::MessageOnlyFormatter>::write(const Record& record)
{
    const std::wstring text = velmar::MessageOnlyFormatter::format(record);
    const int severity = static_cast<int>(record.getSeverity());
    ::LPCWSTR strings[] = {text.c_str()};
    platform::Api().ReportEventW(m_source.get(), EventType(severity), static_cast<::WORD>(severity), 0,
                                 nullptr, 1, 0, strings, nullptr);
}

} // namespace plog
