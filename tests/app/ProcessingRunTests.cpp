#include "app/ProcessingRun.h"
#include "diagnostics/TraceProvider.h"
#include "platform/SystemApi.h"
#include "simulation/DeviceControl.h"

#include "ApiOverride.h"
#include "LogCapture.h"
#include "FrontOperationsOverride.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace
{

int g_registered = 0;
std::vector<REGHANDLE> g_unregistered;

ULONG WINAPI FakeEventRegister(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE handle)
{
    ++g_registered;
    *handle = 77;
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeEventUnregister(REGHANDLE handle)
{
    g_unregistered.push_back(handle);
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeEventSetInformation(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG)
{
    return ERROR_SUCCESS;
}

class ProcessingRunTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_log = &CLogCapture::Fresh();
        g_registered = 0;
        g_unregistered.clear();
    }

    std::filesystem::path BinDirectory() const
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        return std::filesystem::path(path).parent_path();
    }

    CLogCapture* m_log = nullptr;
    CRecordingOperations m_ops;
    CApiOverride<decltype(&::EventRegister)> m_register{platform::Api().EventRegister, &FakeEventRegister};
    CApiOverride<decltype(&::EventUnregister)> m_unregister{platform::Api().EventUnregister,
                                                            &FakeEventUnregister};
    CApiOverride<decltype(&::EventSetInformation)> m_information{platform::Api().EventSetInformation,
                                                                 &FakeEventSetInformation};
};

TEST_F(ProcessingRunTest, LibraryThatCannotBeLoadedEndsWithItsReasonAndOneFatalLine)
{
    CTraceProvider provider;
    ProcessingRunOptions options;
    options.libraryFileName = L"no such folder\\not-there.dll";
    options.traceProvider = &provider;
    options.verbosity = 7;
    options.eventLog = true;

    EXPECT_EQ(RunProcessing(options), 1);
    EXPECT_EQ(m_ops.calls, (std::vector<std::wstring>{L"InitLogging 7 eventlog"}));
    const std::vector<LogLine> lines = m_log->Take();
    // The loader's reason, then the one fatal line.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].severity, 2);
    EXPECT_EQ(
        lines[0].message.rfind(L"Cannot load the processing library from no such folder\\not-there.dll: ", 0),
        0u)
        << lines[0].message;
    EXPECT_EQ(lines[1].severity, 1);
    EXPECT_EQ(lines[1].message, L"no such folder\\not-there.dll can not be loaded");
    // The provider is never registered when the library is missing.
    EXPECT_EQ(g_registered, 0);
    EXPECT_EQ(CurrentTraceProvider(), nullptr);
}

TEST_F(ProcessingRunTest, LoadedLibraryWithoutDevicesEndsAtOnceAndReleasesTheProvider)
{
    if (!std::filesystem::exists(BinDirectory() / L"velmar.orvane.cl.dll"))
    {
        GTEST_SKIP() << "velmar.orvane.cl.dll is not built";
    }
    simulation::ResetWorld();
    CTraceProvider provider;
    ProcessingRunOptions options;
    options.libraryFileName = L"velmar.orvane.cl.dll";
    options.traceProvider = &provider;

    EXPECT_EQ(RunProcessing(options), 0);
    EXPECT_EQ(m_ops.calls, (std::vector<std::wstring>{L"InitLogging 4 console"}));
    EXPECT_EQ(g_registered, 1);
    EXPECT_EQ(g_unregistered, (std::vector<REGHANDLE>{77}));
    EXPECT_EQ(provider.Handle(), 0u);
    EXPECT_EQ(CurrentTraceProvider(), nullptr);

    bool noneFound = false;
    for (const LogLine& line : m_log->Take())
    {
        EXPECT_NE(line.severity, 1) << line.message;
        noneFound = noneFound || line.message.find(L"None found") != std::wstring::npos;
    }
    EXPECT_TRUE(noneFound);
}

} // namespace
