// The host's trace activities as a trace controller sees them: the processing manager runs in this
// process on the device world with the reference library, and the system's tracing calls are captured.
#include "HostProcess.h"
#include "LogCapture.h"

#include "ApiOverride.h"
#include "diagnostics/TraceProvider.h"
#include "library/DynLoader.h"
#include "platform/SystemApi.h"
#include "processing/Processing.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// One start or stop of an activity, or a plain event.
struct Written
{
    std::string name;
    UCHAR opcode;
    UCHAR level;
    ULONGLONG keyword;
    DWORD thread;
    GUID activity;
    GUID related; // zero when none
    std::int64_t counter = -2;
};

// Allocations of each thread made outside the fake controller: the audio path makes none.
thread_local std::uint64_t t_allocations = 0;
thread_local int t_inController = 0;

// The allocations counted on the thread of each chunk as it starts.
struct ChunkStart
{
    DWORD thread;
    std::int64_t counter;
    std::uint64_t allocations;
};

std::mutex g_mutex;
std::vector<Written> g_written;
std::vector<ChunkStart> g_chunkStarts;
unsigned long g_nextId = 1;
PENABLECALLBACK g_callback = nullptr;
PVOID g_context = nullptr;

ULONG WINAPI FakeRegister(LPCGUID, PENABLECALLBACK callback, PVOID context, PREGHANDLE handle)
{
    g_callback = callback;
    g_context = context;
    *handle = 0x5151;
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeUnregister(REGHANDLE)
{
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeSetInformation(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG)
{
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeIdControl(ULONG, LPGUID id)
{
    std::lock_guard lock(g_mutex);
    *id = GUID{};
    id->Data1 = g_nextId++;
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeWrite(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity, LPCGUID related,
                       ULONG count, PEVENT_DATA_DESCRIPTOR data)
{
    const std::uint64_t allocations = t_allocations;
    ++t_inController;
    Written written{};
    written.opcode = descriptor->Opcode;
    written.level = descriptor->Level;
    written.keyword = descriptor->Keyword;
    written.thread = GetCurrentThreadId();
    written.activity = activity != nullptr ? *activity : GUID{};
    written.related = related != nullptr ? *related : GUID{};
    if (count >= 2)
    {
        // Metadata: 16-bit size, a tag byte, then the event name.
        written.name = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(data[1].Ptr)) + 3;
    }
    if (count >= 4 && data[3].Size == sizeof(std::int64_t))
    {
        std::memcpy(&written.counter, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(data[3].Ptr)),
                    sizeof(std::int64_t));
    }
    {
        std::lock_guard lock(g_mutex);
        g_written.push_back(written);
        if (written.opcode == 1 && written.name == "Audio Loop")
        {
            g_chunkStarts.push_back({written.thread, written.counter, allocations});
        }
    }
    --t_inController;
    return ERROR_SUCCESS;
}

std::vector<Written> Captured()
{
    std::lock_guard lock(g_mutex);
    return g_written;
}

size_t Starts(const std::string& name)
{
    size_t count = 0;
    for (const Written& w : Captured())
    {
        count += w.opcode == 1 && w.name == name ? 1 : 0;
    }
    return count;
}

bool SameId(const GUID& a, const GUID& b)
{
    return IsEqualGUID(a, b) != FALSE;
}

TEST(HostTracing, EveryChunkIsAnAudioLoopWithItsStepsInOrderAndEveryPhaseCountsFromZero)
{
    simulation::ResetWorld();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VELMAR\\ORVANE.CL.drv");
    ASSERT_TRUE(hosttest::ClearStoredState());
    // A name too long to live inside a string object: copying it anywhere would allocate.
    const std::wstring name = L"A display name longer than any small-string buffer";
    simulation::CDeviceWorld world;
    ASSERT_TRUE(world.Start());
    const std::wstring device = simulation::AddDevice();
    std::wstring key = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv\\instances\\" + device;
    std::replace(key.begin() + key.rfind(L"instances") + 10, key.end(), L'\\', L'#');
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", REG_SZ, name.c_str(),
                    static_cast<DWORD>(name.size() * sizeof(wchar_t)));
    CLogCapture::Fresh();

    CApiOverride<decltype(&::EventRegister)> registerGuard(platform::Api().EventRegister, &FakeRegister);
    CApiOverride<decltype(&::EventUnregister)> unregisterGuard(platform::Api().EventUnregister,
                                                               &FakeUnregister);
    CApiOverride<decltype(&::EventSetInformation)> informationGuard(platform::Api().EventSetInformation,
                                                                    &FakeSetInformation);
    CApiOverride<decltype(&::EventActivityIdControl)> idGuard(platform::Api().EventActivityIdControl,
                                                              &FakeIdControl);
    CApiOverride<decltype(&::EventWriteTransfer)> writeGuard(platform::Api().EventWriteTransfer, &FakeWrite);

    CTraceProvider provider;
    SetCurrentTraceProvider(&provider);
    ASSERT_TRUE(provider.Register());
    ASSERT_NE(g_callback, nullptr);
    g_callback(&CTraceProvider::Id(), 1 /* enable */, 5, ~0ULL, 0, nullptr, g_context);

    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load((hosttest::BinDirectory() / L"velmar.orvane.cl.dll").wstring()));
    {
        CProcessing processing(&loader);
        ASSERT_TRUE(processing.Start());
        ASSERT_TRUE(hosttest::WaitUntil([] { return Starts("Converting audio in") >= 20; }, 20s));
        // A removal the world refuses ends the audio phase; the next one counts from 0 again.
        EXPECT_EQ(simulation::RequestRemoval(device, simulation::RemovalKind::WorldVeto),
                  simulation::RemovalOutcome::Vetoed);
        const size_t before = Starts("Audio Loop");
        ASSERT_TRUE(hosttest::WaitUntil([&] { return Starts("Audio Loop") >= before + 20; }, 20s));
        processing.StopDeviceWatch();
    }
    provider.Unregister();
    SetCurrentTraceProvider(nullptr);

    const std::vector<Written> written = Captured();
    std::map<std::string, GUID> lastStart;
    std::vector<std::string> steps;
    GUID chunk{};
    std::vector<std::int64_t> firstCounters; // the counter of the first chunk after each opening
    bool afterOpening = false;
    size_t completeChunks = 0;
    for (const Written& w : written)
    {
        if (w.opcode != 1)
        {
            continue;
        }
        if (w.name == "WDM thread")
        {
            EXPECT_EQ(w.level, 4);
            EXPECT_EQ(w.keyword, 0x0000100000000000ULL);
        }
        else if (w.name == "Loop" || w.name == "Opening driver" || w.name == "Creating instance")
        {
            EXPECT_EQ(w.level, 5);
            EXPECT_EQ(w.keyword, 0x0000100000000000ULL);
            EXPECT_TRUE(SameId(w.related, w.name == "Loop" ? lastStart["WDM thread"] : lastStart["Loop"]))
                << w.name;
            afterOpening = afterOpening || w.name == "Opening driver";
        }
        else if (w.name == "Audio Loop")
        {
            EXPECT_EQ(w.level, 5);
            EXPECT_EQ(w.keyword, 0x0000200000000000ULL);
            EXPECT_TRUE(SameId(w.related, lastStart["Loop"]));
            if (afterOpening)
            {
                firstCounters.push_back(w.counter);
                afterOpening = false;
            }
            if (steps == std::vector<std::string>{"Processing audio", "Converting audio out", "Writing audio",
                                                  "Reading audio", "Converting audio in"})
            {
                ++completeChunks;
            }
            steps.clear();
            chunk = w.activity;
        }
        else if (w.name == "registry watch")
        {
            EXPECT_EQ(w.keyword, 0x0000400000000000ULL);
        }
        else
        {
            EXPECT_EQ(w.keyword, 0x0000200000000000ULL) << w.name;
            EXPECT_TRUE(SameId(w.related, chunk)) << w.name;
            steps.push_back(w.name);
        }
        lastStart[w.name] = w.activity;
    }
    EXPECT_GE(completeChunks, 20u);

    // From one chunk to the next of a phase the instance thread allocates nothing (the library has an
    // allocator of its own; the first chunk of a phase is left out).
    std::uint64_t chunkAllocations = 0;
    size_t judged = 0;
    std::map<DWORD, ChunkStart> previous;
    for (const ChunkStart& start : g_chunkStarts)
    {
        const auto before = previous.find(start.thread);
        if (before != previous.end() && before->second.counter >= 1 &&
            start.counter == before->second.counter + 1)
        {
            chunkAllocations += start.allocations - before->second.allocations;
            ++judged;
        }
        previous[start.thread] = start;
    }
    EXPECT_GE(judged, 20u);
    EXPECT_EQ(chunkAllocations, 0u) << "allocations in " << judged << " chunks";
    ASSERT_GE(firstCounters.size(), 2u);
    for (const std::int64_t counter : firstCounters)
    {
        EXPECT_EQ(counter, 0);
    }
    const auto figures = simulation::Statistics(device);
    EXPECT_EQ(figures->mismatches, 0u)
        << "first at block " << figures->firstMismatchBlock << " frame " << figures->firstMismatchFrame
        << " of " << figures->blocksChecked << " checked, connections " << figures->connections;
}

// orvane-sim.exe told to keep its own trace: a Chrome trace whose slices nest as the audio loop's do.
TEST(HostTracing, TraceFileOfTheSimulatedBuildNestsEveryChunkInItsPass)
{
    simulation::ResetWorld();
    simulation::CDeviceWorld world;
    ASSERT_TRUE(world.Start());
    const std::wstring device = simulation::AddDevice();
    const std::filesystem::path file = std::filesystem::temp_directory_path() / L"orvane-trace.json";
    std::filesystem::remove(file);
    _wputenv_s(L"ORVANE_TRACE_FILE", file.c_str());
    {
        hosttest::CHostProcess host(L"");
        _wputenv_s(L"ORVANE_TRACE_FILE", L"");
        ASSERT_TRUE(host.Started());
        ASSERT_TRUE(
            hosttest::WaitUntil([&] { return simulation::Statistics(device)->blocksChecked >= 50; }, 20s))
            << host.Output();
        ASSERT_TRUE(host.Interrupt());
        ASSERT_EQ(host.Wait(10s), std::optional<DWORD>(0)) << host.Output() << host.Backtraces();
    }
    nlohmann::json trace;
    {
        std::ifstream in(file);
        trace = nlohmann::json::parse(in); // throws on invalid JSON
    }
    std::map<std::int64_t, std::vector<std::string>> stacks; // open slices per thread
    const std::map<std::string, std::string> parents{{"Loop", "WDM thread"},
                                                     {"Creating instance", "Loop"},
                                                     {"Opening driver", "Loop"},
                                                     {"Audio Loop", "Loop"},
                                                     {"Processing audio", "Audio Loop"},
                                                     {"Converting audio out", "Audio Loop"},
                                                     {"Writing audio", "Audio Loop"},
                                                     {"Reading audio", "Audio Loop"},
                                                     {"Converting audio in", "Audio Loop"}};
    size_t chunks = 0;
    for (const nlohmann::json& event : trace.at("traceEvents"))
    {
        const std::string phase = event.at("ph");
        const std::string name = event.at("name");
        if (phase == "M" || phase == "i")
        {
            continue;
        }
        std::vector<std::string>& stack = stacks[event.at("tid").get<std::int64_t>()];
        if (phase == "B")
        {
            const auto parent = parents.find(name);
            if (parent != parents.end())
            {
                ASSERT_FALSE(stack.empty()) << name;
                EXPECT_EQ(stack.back(), parent->second) << name;
            }
            else
            {
                EXPECT_TRUE(stack.empty()) << name; // the thread activity and the registry watch
            }
            chunks += name == "Audio Loop" ? 1 : 0;
            stack.push_back(name);
        }
        else
        {
            ASSERT_EQ(phase, "E");
            ASSERT_FALSE(stack.empty()) << name;
            if (name != "ActivityStoppedAutomatically")
            {
                EXPECT_EQ(stack.back(), name);
            }
            stack.pop_back();
        }
    }
    EXPECT_GE(chunks, 50u);
    for (const auto& [thread, stack] : stacks)
    {
        EXPECT_TRUE(stack.empty()) << "thread " << thread << " left " << stack.size() << " open";
    }
    std::filesystem::remove(file);
}

} // namespace

// Counts the allocations of each thread for the chunk check above (the whole test binary allocates
// through here). The replacements pair malloc with free, which the compiler cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size)
{
    if (t_inController == 0)
    {
        ++t_allocations;
    }
    if (void* block = std::malloc(size != 0 ? size : 1))
    {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}
