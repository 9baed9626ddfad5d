// A trace controller inside orvane-sim.exe for people who want to see what the host does: with
// ORVANE_TRACE_FILE set, the process's tracing provider is enabled at level 5 with every keyword from
// the moment it registers, and what it writes is kept and saved as a Chrome trace (JSON, viewable in
// Perfetto or chrome://tracing) when the provider unregisters: one track per thread, the activities
// as nested slices, the plain events as instants, the fields as arguments.
//
// Linked into orvane-sim.exe as an object file (never into orvane.exe); it replaces the tracing
// entries of the system table before wmain runs. The events go into a fixed array claimed with one
// atomic increment, so the audio path neither locks nor allocates for them; events beyond its
// capacity are counted and dropped.
#include "platform/Boundary.h"
#include "platform/SystemApi.h"
#include "platform/TextConversion.h"
#include "processing/JsonText.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <windows.h>
#include <evntprov.h>

namespace
{

constexpr std::size_t kCapacity = 1 << 18; // about 40 MB, a minute of a few devices
constexpr UCHAR kStart = 1;
constexpr UCHAR kStop = 2;

struct Entry
{
    LONGLONG time;
    DWORD thread;
    UCHAR opcode;
    UCHAR level;
    ULONGLONG keyword;
    GUID activity;
    char name[40];
    wchar_t instance[32];
    std::int64_t counter;
    bool hasCounter;
    std::atomic<bool> ready;
};

struct Timeline
{
    std::wstring file;
    std::unique_ptr<Entry[]> entries;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> dropped{0};
    std::atomic<unsigned long> nextId{1};
    std::atomic<bool> saved{false};
    LONGLONG start = 0;
    LONGLONG frequency = 1;
};

Timeline* g_timeline = nullptr;

ULONG WINAPI TimelineRegister(LPCGUID id, PENABLECALLBACK callback, PVOID context, PREGHANDLE handle)
{
    *handle = 0x7117;
    if (callback != nullptr)
    {
        // As a controller that enables everything verbose does, at once.
        callback(id, 1 /* enable */, 5, ~0ULL, 0, nullptr, context);
    }
    return ERROR_SUCCESS;
}

ULONG WINAPI TimelineSetInformation(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG)
{
    return ERROR_SUCCESS;
}

// Wine leaves created ids all zero: give every activity an id of its own.
ULONG WINAPI TimelineIdControl(ULONG, LPGUID id)
{
    *id = GUID{};
    id->Data1 = g_timeline->nextId.fetch_add(1);
    id->Data4[7] = 0x71;
    return ERROR_SUCCESS;
}

const void* At(const EVENT_DATA_DESCRIPTOR& data)
{
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(data.Ptr));
}

ULONG WINAPI TimelineWrite(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity, LPCGUID, ULONG count,
                           PEVENT_DATA_DESCRIPTOR data)
{
    const std::size_t index = g_timeline->next.fetch_add(1);
    if (index >= kCapacity)
    {
        g_timeline->dropped.fetch_add(1);
        return ERROR_SUCCESS;
    }
    Entry& entry = g_timeline->entries[index];
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    entry.time = now.QuadPart;
    entry.thread = GetCurrentThreadId();
    entry.opcode = descriptor->Opcode;
    entry.level = descriptor->Level;
    entry.keyword = descriptor->Keyword;
    entry.activity = activity != nullptr ? *activity : GUID{};
    entry.name[0] = '\0';
    entry.instance[0] = L'\0';
    entry.hasCounter = false;
    if (count >= 2 && data[1].Size > 3)
    {
        // Event metadata: 16-bit size, a tag byte, the name and its terminator, then the fields.
        const char* name = static_cast<const char*>(At(data[1])) + 3;
        std::strncpy(entry.name, name, sizeof(entry.name) - 1);
        entry.name[sizeof(entry.name) - 1] = '\0';
    }
    if (count >= 3 && data[2].Size >= sizeof(wchar_t))
    {
        const std::size_t chars = std::min<std::size_t>(data[2].Size / sizeof(wchar_t), 32) - 1;
        std::memcpy(entry.instance, At(data[2]), chars * sizeof(wchar_t));
        entry.instance[chars] = L'\0';
    }
    if (count >= 4 && data[3].Size == sizeof(std::int64_t))
    {
        std::memcpy(&entry.counter, At(data[3]), sizeof(std::int64_t));
        entry.hasCounter = true;
    }
    entry.ready.store(true, std::memory_order_release);
    return ERROR_SUCCESS;
}

std::string ActivityText(const GUID& id)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08lx-%02x", static_cast<unsigned long>(id.Data1), id.Data4[7]);
    return text;
}

void Save()
{
    Timeline& timeline = *g_timeline;
    if (timeline.saved.exchange(true))
    {
        return;
    }
    FILE* out = _wfopen(timeline.file.c_str(), L"wb");
    if (out == nullptr)
    {
        std::fwprintf(stderr, L"Cannot write the trace file %ls\n", timeline.file.c_str());
        return;
    }
    const std::size_t count = std::min(timeline.next.load(), kCapacity);
    std::fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n", out);
    std::fputs("{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":\"orvane-sim.exe\"}}",
               out);
    std::wstring named; // threads already given a track name, as ";tid;"
    for (std::size_t i = 0; i < count; ++i)
    {
        const Entry& entry = timeline.entries[i];
        if (!entry.ready.load(std::memory_order_acquire))
        {
            continue;
        }
        const std::string instance = WideToUtf8(entry.instance);
        const std::wstring tag = L";" + std::to_wstring(entry.thread) + L";";
        if (named.find(tag) == std::wstring::npos && !instance.empty())
        {
            named += tag;
            std::fprintf(
                out,
                ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":%lu,\"args\":{\"name\":\"%s\"}}",
                static_cast<unsigned long>(entry.thread), JsonEscape(instance).c_str());
        }
        const double us =
            static_cast<double>(entry.time - timeline.start) * 1e6 / static_cast<double>(timeline.frequency);
        const char* phase = entry.opcode == kStart ? "B" : entry.opcode == kStop ? "E" : "i";
        std::fprintf(
            out,
            ",\n{\"name\":\"%s\",\"cat\":\"level%u,0x%llx\",\"ph\":\"%s\",\"ts\":%.3f,\"pid\":1,\"tid\":%lu",
            JsonEscape(entry.name).c_str(), entry.level, static_cast<unsigned long long>(entry.keyword),
            phase, us, static_cast<unsigned long>(entry.thread));
        if (entry.opcode != kStart && entry.opcode != kStop)
        {
            std::fputs(",\"s\":\"t\"", out);
        }
        std::fprintf(out, ",\"args\":{\"inst_name\":\"%s\",\"activity\":\"%s\"", JsonEscape(instance).c_str(),
                     ActivityText(entry.activity).c_str());
        if (entry.hasCounter)
        {
            std::fprintf(out, ",\"counter\":%lld", static_cast<long long>(entry.counter));
        }
        std::fputs("}}", out);
    }
    std::fputs("\n]}\n", out);
    std::fclose(out);
    if (timeline.dropped.load() != 0)
    {
        std::fwprintf(stderr, L"Trace file %ls: %zu events did not fit and were dropped\n",
                      timeline.file.c_str(), timeline.dropped.load());
    }
}

ULONG WINAPI TimelineUnregister(REGHANDLE)
{
    platform::CatchAtBoundary([] { Save(); });
    return ERROR_SUCCESS;
}

// Installs the recorder before wmain when the variable names a file.
struct CTimelineInstaller
{
    CTimelineInstaller()
    {
        const wchar_t* file = _wgetenv(L"ORVANE_TRACE_FILE");
        if (file == nullptr || *file == L'\0')
        {
            return;
        }
        static Timeline timeline;
        timeline.file = file;
        timeline.entries = std::make_unique<Entry[]>(kCapacity);
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        timeline.frequency = value.QuadPart;
        QueryPerformanceCounter(&value);
        timeline.start = value.QuadPart;
        g_timeline = &timeline;
        platform::SystemApi& api = platform::Api();
        api.EventRegister = &TimelineRegister;
        api.EventUnregister = &TimelineUnregister;
        api.EventSetInformation = &TimelineSetInformation;
        api.EventActivityIdControl = &TimelineIdControl;
        api.EventWriteTransfer = &TimelineWrite;
    }
};

const CTimelineInstaller g_installer;

} // namespace
