#pragma once
// Trace activities and events of the current provider (CurrentTraceProvider()). Nothing is built or
// written unless the provider is enabled for the event's level and keyword.
#include "diagnostics/TraceEvents.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

class CTraceProvider;

// A start/stop pair. The constructor starts it (a new activity id only when the provider is enabled;
// the parent's id as related id when it has one); Stop writes the stop event with the same fields. An
// activity that is destroyed without Stop writes "ActivityStoppedAutomatically" without fields.
// A stop is only written for an activity whose start was written.
class TraceActivity
{
public:
    TraceActivity(const TraceActivityKind& kind, const std::wstring& instanceName,
                  const TraceActivity* parent = nullptr);
    TraceActivity(const TraceCounterActivityKind& kind, const std::wstring& instanceName,
                  std::int64_t counter, const TraceActivity* parent = nullptr);
    ~TraceActivity();
    TraceActivity(const TraceActivity&) = delete;
    TraceActivity& operator=(const TraceActivity&) = delete;

    void Stop();

    // The 16-byte activity id; all zero when the provider was not enabled at the start.
    const GUID& Id() const noexcept { return m_id; }
    bool IsStopped() const noexcept { return m_stopped; }

private:
    void Start(const std::wstring& instanceName, const TraceActivity* parent);

    CTraceProvider* m_provider;
    const char* m_name;
    std::uint8_t m_level;
    std::uint64_t m_keyword;
    bool m_hasCounter;
    std::int64_t m_counter;
    std::wstring_view InstanceName() const noexcept { return {m_instanceName, m_instanceNameLength}; }

    static constexpr std::size_t kInstanceNameCapacity = 128;
    wchar_t m_instanceName[kInstanceNameCapacity]; // kept only when the start was written
    std::size_t m_instanceNameLength = 0;
    GUID m_id{};
    bool m_traced = false;
    bool m_stopped = false;
};

// A single event with "inst_name", inside the given activity (or none).
void TraceEvent(const TraceEventKind& kind, const std::wstring& instanceName,
                const TraceActivity* enclosing = nullptr);
