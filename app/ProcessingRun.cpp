#include "app/ProcessingRun.h"

#include "diagnostics/AsyncLogThread.h"
#include "diagnostics/Log.h"
#include "diagnostics/TraceProvider.h"
#include "library/DynLoader.h"
#include "library/LibraryLogBridge.h"

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
    ~CTraceRegistration()
    {
        if (m_provider != nullptr)
        {
            m_provider->Unregister();
        }
        SetCurrentTraceProvider(nullptr);
    }
    CTraceRegistration(const CTraceRegistration&) = delete;
    CTraceRegistration& operator=(const CTraceRegistration&) = delete;

private:
    CTraceProvider* m_provider;
};

// The processing manager's part of the run: start it, watch the global parameters until the stop
// event is set, stop it. The manager is not part of this build yet.
int RunProcessingManager(velmar::helper::CDynLoader&)
{
    VLOG(velmar::LogSeverity::Error) << L"The processing manager is not available in this build";
    return 1;
}

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
    return RunProcessingManager(loader);
}
