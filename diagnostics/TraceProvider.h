#pragma once
// The process's event-tracing provider "ORVANE.CL.drv" {85A58008-B282-4B53-913C-F2E12A7DC1ED} in the
// self-describing TraceLogging form. A trace controller enables it through the enable callback; every
// event site first asks IsEnabled, so a disabled provider costs one test per event.
#include <windows.h>
#include <evntprov.h>

#include <atomic>
#include <cstdint>

class CTraceProvider
{
public:
    CTraceProvider() noexcept;
    ~CTraceProvider();
    CTraceProvider(const CTraceProvider&) = delete;
    CTraceProvider& operator=(const CTraceProvider&) = delete;

    // EventRegister with the enable callback, then the provider traits. False when EventRegister fails.
    bool Register();
    // Disables, forgets the handle, then EventUnregister; clears the process-wide pointer when it is this.
    void Unregister();

    // Level above which the provider writes nothing: 0 disabled, controller's level + 1, 256 for level 0.
    std::uint32_t EnableLevel() const noexcept { return m_enableLevel.load(std::memory_order_relaxed); }
    // True when an event of this level and keyword passes the controller's level and keyword masks.
    bool IsEnabled(std::uint8_t level, std::uint64_t keyword) const noexcept;

    REGHANDLE Handle() const noexcept { return m_handle.load(std::memory_order_relaxed); }
    static const GUID& Id() noexcept;
    // The traits blob: 16-bit size, the provider name, NUL; the provider GUID is stored just before it.
    static const unsigned char* Traits() noexcept;
    static std::uint16_t TraitsSize() noexcept;

    // Called by the system (a trace controller enables or disables the provider).
    static void NTAPI EnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level,
                                     ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                                     PEVENT_FILTER_DESCRIPTOR filterData, PVOID context);

private:
    std::atomic<std::uint32_t> m_enableLevel{0};
    std::atomic<std::uint64_t> m_keywordAny{0};
    std::atomic<std::uint64_t> m_keywordAll{0};
    std::atomic<REGHANDLE> m_handle{0};
};

// The provider of the program entry (a static of the process).
CTraceProvider& ProcessTraceProvider();

// The provider of the running processing run, set by the main routine; null outside a run.
void SetCurrentTraceProvider(CTraceProvider* provider) noexcept;
CTraceProvider* CurrentTraceProvider() noexcept;
