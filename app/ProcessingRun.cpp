#include "app/ProcessingRun.h"

#include "app/ConsoleInterrupt.h"

#include "diagnostics/AsyncLogThread.h"
#include "diagnostics/Log.h"
#include "diagnostics/TraceProvider.h"
#include "library/DynLoader.h"
#include "library/LibraryLogBridge.h"
#include "platform/Boundary.h"
#include "processing/Processing.h"
#include "service/ServiceEntry.h"

#include <memory>

namespace
{

// Keeps the trace provider registered and current for the lifetime of the run's processing part.
class CTraceRegistration
{
public:
    explicit CTraceRegistration(CTraceProvider* provider) : m_provider(provider)
    {
        SetCurrentTraceProvider(m_provider);
        if (m_provider != nullptr)
        {
            m_provider->Register();
        }
    }
    ~CTraceRegistration() { Release(); }
    void Release() noexcept
    {
        if (m_provider != nullptr)
        {
            m_provider->Unregister();
            m_provider = nullptr;
        }
        SetCurrentTraceProvider(nullptr);
    }
    CTraceRegistration(const CTraceRegistration&) = delete;
    CTraceRegistration& operator=(const CTraceRegistration&) = delete;

private:
    CTraceProvider* m_provider;
};

// Stops the device watch of a manager on every way out, before anything of it is destroyed.
class CDeviceWatchStop
{
public:
    explicit CDeviceWatchStop(CProcessing& processing) : m_processing(processing) {}
    ~CDeviceWatchStop() { m_processing.StopDeviceWatch(); }
    CDeviceWatchStop(const CDeviceWatchStop&) = delete;
    CDeviceWatchStop& operator=(const CDeviceWatchStop&) = delete;

private:
    CProcessing& m_processing;
};

} // namespace

int RunProcessing(const ProcessingRunOptions& options)
{
    Operations().InitLogging(options.verbosity, options.eventLog ? LogTarget::EventLog : LogTarget::Console);
    AsyncLogThread drain(10);

    velmar::helper::CDynLoader loader;
    if (!loader.load(options.libraryFileName))
    {
        VLOG(velmar::LogSeverity::Fatal) << options.libraryFileName << L" can not be loaded";
        return 1;
    }
    InstallLibraryLogBridge(loader);

    CTraceRegistration tracing(options.traceProvider);
    auto processing = std::make_unique<CProcessing>(&loader);
    const bool service = CurrentService() != nullptr;
    int exitCode = 0;
    {
        CDeviceWatchStop watchStop(*processing);
        const bool started = processing->Start();
        // A service may start before the devices do (at boot): it keeps listening and takes each device
        // when it arrives. A console run ends when none is present.
        const bool waiting = !started && service && processing->WatchesDevices();
        if (waiting)
        {
            VLOG(velmar::LogSeverity::Info) << L"No device present yet, waiting for devices to arrive";
        }
        if (started || waiting)
        {
            if (!service)
            {
                InstallConsoleInterruptHandler();
            }
            processing->WatchGlobalParameters();
        }
        else if (service)
        {
            // A refused start is a failure of the service: reported, so that its failure actions apply.
            exitCode = 1;
        }
    }
    tracing.Release();
    // A close of the console waits for this before it lets the system end the process.
    platform::CatchAtBoundary([] { RunEndedEvent().Set(); });
    if (processing->RetirementAbandoned())
    {
        // Instances that did not end still run on the manager's memory: it stays for the rest of the
        // process, which ends after this run instead of waiting for them.
        (void)processing.release();
        return exitCode;
    }
    processing.reset();
    return exitCode;
}
