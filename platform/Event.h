#pragma once
#include "platform/EventError.h"
#include "platform/UniqueHandle.h"

#include <initializer_list>
#include <vector>

#include <windows.h>

// Owns one unnamed manual-reset event, initially not signalled. A creation failure is not reported
// here: the handle stays null, nothing is closed, and the first Set or wait on the event fails.
class CEvent
{
public:
    CEvent();
    ~CEvent() = default;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // Signals the event; throws EventError "Cannot open set event" with GetLastError on failure.
    void Set();
    HANDLE Handle() const noexcept { return m_handle.get(); }

private:
    platform::UniqueEvent m_handle;
};

// Waits for the first of the given events (lowest index wins when several are signalled), resets
// only that one and returns it. Throws EventError "Wait for event" with the raw wait result when the
// wait fails, "Cannot open reset event" with GetLastError when the reset fails.
CEvent* WaitForAnyEvent(const std::vector<CEvent*>& events);

// The process-wide stop event: setting it ends a processing run.
CEvent& StopEvent();
