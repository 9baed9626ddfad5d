#include "platform/Event.h"

#include "platform/SystemApi.h"

CEvent::CEvent() : m_handle(platform::Api().CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void CEvent::Set()
{
    if (!platform::Api().SetEvent(m_handle.get()))
    {
        throw EventError("Cannot open set event", static_cast<std::int32_t>(GetLastError()));
    }
}

CEvent* WaitForAnyEvent(const std::vector<CEvent*>& events)
{
    std::vector<HANDLE> handles;
    handles.reserve(events.size());
    for (const CEvent* event : events)
    {
        handles.push_back(event->Handle());
    }
    const DWORD count = static_cast<DWORD>(handles.size());
    const DWORD result = platform::Api().WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
    if (result >= count)
    {
        throw EventError("Wait for event", static_cast<std::int32_t>(result));
    }
    if (!platform::Api().ResetEvent(handles[result]))
    {
        throw EventError("Cannot open reset event", static_cast<std::int32_t>(GetLastError()));
    }
    return events[result];
}

namespace
{
// Created during static initialisation, before the main routine runs.
CEvent& g_stopEventAtStartup = StopEvent();
} // namespace

CEvent& StopEvent()
{
    static CEvent stopEvent;
    return stopEvent;
}
