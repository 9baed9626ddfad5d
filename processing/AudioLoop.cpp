#include "processing/AudioLoop.h"

#include "config/Config.h"
#include "config/StoragePath.h"
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"
#include "diagnostics/TraceActivity.h"
#include "diagnostics/TraceProvider.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/UniqueHandle.h"
#include "platform/TextConversion.h"
#include "processing/DeviceNaming.h"
#include "processing/Instance.h"
#include "processing/ProcessingInstance.h"
#include "processing/RegistryWatch.h"
#include "processing/StreamFormat.h"
#include "processing/WebServer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <system_error>

namespace
{

// The host's name a library process is created with.
constexpr const char* kHostText = "ORVANE.CL.drv";

bool StorageFileExists(const std::filesystem::path& file)
{
    std::error_code error;
    const bool exists = std::filesystem::exists(file, error);
    if (error)
    {
        throw std::filesystem::filesystem_error("exists", file, error);
    }
    return exists;
}

// Ends the registry-watch thread of an audio phase on every way out of the phase.
class CPhaseWatch
{
public:
    CPhaseWatch(CInstance& instance, CEvent& registryEvent, CProcessingInstance& processing,
                const TraceActivity& loop)
        : m_thread(&CRegistryWatch::Run, std::ref(instance), std::ref(registryEvent), std::ref(m_phaseStop),
                   std::ref(processing), std::cref(loop))
    {
    }
    ~CPhaseWatch()
    {
        if (m_thread.joinable())
        {
            platform::Api().SetEvent(m_phaseStop.Handle());
            m_thread.join();
        }
    }
    CPhaseWatch(const CPhaseWatch&) = delete;
    CPhaseWatch& operator=(const CPhaseWatch&) = delete;

    // The orderly end: the phase stop event (EventError "Cannot open set event" when it fails), join.
    void End()
    {
        m_phaseStop.Set();
        m_thread.join();
    }

private:
    CEvent m_phaseStop;
    std::thread m_thread;
};

} // namespace

CAudioLoop::CAudioLoop(CInstance& instance)
    : m_instance(instance), m_chunk(instance.m_loader->GetChunkSizeInFrames())
{
    SetThreadLabel(m_instance.m_name);
    m_audio.assign(static_cast<std::size_t>(std::max(m_chunk, 0)), 0);
}

void CAudioLoop::Run()
{
    TraceActivity thread(TraceEvents::WdmThread, m_instance.m_name);
    // The multimedia class scheduler gives a "Pro Audio" thread its share of every period ahead of
    // ordinary work, as Windows audio applications have it; without it (the scheduler service is
    // stopped, say) the thread keeps only its own priority. Wine accepts the call and schedules by
    // neither.
    DWORD task = 0;
    const platform::UniqueMmcssTask proAudio(
        platform::Api().AvSetMmThreadCharacteristicsW(L"Pro Audio", &task));
    if (!proAudio)
    {
        const DWORD error = GetLastError();
        VLOG(velmar::LogSeverity::Warn) << L"Failed to join the Pro Audio task for " << m_instance.m_name
                                        << L": " << FormatSystemError(error);
    }
    while (!m_instance.m_stop.load())
    {
        if (!RunPass(thread))
        {
            break;
        }
    }
    thread.Stop();
}

bool CAudioLoop::RunPass(const TraceActivity& thread)
{
    CInstance& instance = m_instance;
    velmar::helper::CDynLoader& library = *instance.m_loader;
    CConfigInstance& configuration = *instance.m_configuration;

    // A. Creation
    TraceActivity loop(TraceEvents::Loop, instance.m_name, &thread);
    CEvent registryEvent;
    auto processing = std::make_unique<CProcessingInstance>(instance.m_loader, instance.m_name);
    if (library.SetInstanceTracing != nullptr)
    {
        library.SetInstanceTracing(processing->ParametersHandle(), CurrentTraceProvider(),
                                   reinterpret_cast<const std::uint8_t*>(&loop.Id()));
    }
    const LONG armed = configuration.Key().TryWatch(registryEvent);
    if (armed != ERROR_SUCCESS)
    {
        VLOG(velmar::LogSeverity::Warn) << L"Registry lost for " << instance.m_name;
        TraceEvent(TraceEvents::RegistryLost, instance.m_name, &loop);
        instance.m_stop.exchange(true);
        return false;
    }
    instance.m_restart.exchange(false);
    configuration.Reload();
    {
        std::lock_guard lock(instance.m_mutex);
        instance.m_name = configuration.Name();
        instance.PublishName(instance.m_name);
        SetThreadLabel(instance.m_name);
        processing->SetName(instance.m_name);
    }
    const std::wstring& name = instance.m_name;

    VLOG(velmar::LogSeverity::Warn) << L"Creating process for " << name;
    TraceActivity creating(TraceEvents::CreatingInstance, name, &loop);
    const std::filesystem::path storage =
        InstanceStoragePath(configuration.Owner().StorageRoot(), instance.m_keyName);
    StorageFileExists(storage / L"state.json");
    VLOG(velmar::LogSeverity::Warn) << L"Creating auth process for " << name;
    const bool authPresent = StorageFileExists(storage / L"auth.json");
    const bool created = processing->Init(kHostText, ORVANE_PRODUCT_VERSION, WideToUtf8(instance.m_keyName),
                                          WideToUtf8(name), storage, m_chunk);
    if (!created)
    {
        TraceEvent(TraceEvents::CreatingInstanceFailed, name, &loop);
    }
    creating.Stop();

    float* input = nullptr;
    float* output = nullptr;
    if (processing->ProcessHandle() != 0)
    {
        input = library.GetBufferIn(processing->ProcessHandle());
        output = library.GetBufferOut(processing->ProcessHandle());
        StartWebServer(*processing, name, configuration.HttpPort(), configuration.HttpsPort());
        TraceEvent(TraceEvents::WebServerStarted, name, &loop);
    }
    NameDevice(instance.m_interfacePath, *processing, name);
    TraceEvent(TraceEvents::DeviceNamed, name, &loop);
    SendAccountSetup(*processing, configuration.GetAdminPassword(), !authPresent);
    TraceEvent(TraceEvents::AccountSetUp, name, &loop);

    // B. Audio phases
    while (!instance.m_stop.load() && !instance.m_restart.load())
    {
        const DWORD changed = platform::Api().WaitForSingleObject(registryEvent.Handle(), 0);
        if (changed == WAIT_OBJECT_0)
        {
            if (!platform::Api().ResetEvent(registryEvent.Handle()))
            {
                throw EventError("Cannot open reset event", static_cast<std::int32_t>(GetLastError()));
            }
            instance.m_restart.exchange(true);
            break;
        }
        if (changed != WAIT_TIMEOUT)
        {
            throw EventError("Wait for event", static_cast<std::int32_t>(changed));
        }
        if (!instance.m_driver.IsOpen() || instance.m_driver.IsCancelled())
        {
            // A removal asked for while the channel was closed (a restart of the processing, say):
            // opening it again before the answer would veto the removal with the new handle.
            if (instance.m_driver.GetRemovalState() == CDriver::RemovalState::QueryRemove &&
                instance.m_driver.AwaitRemovalOutcome(instance.m_stop) == CDriver::RemovalOutcome::Removed)
            {
                VLOG_ASYNC(velmar::LogSeverity::Info) << L"Audio driver has been removed for " << name;
                WaitBeforeRetry();
                continue;
            }
            TraceActivity opening(TraceEvents::OpeningDriver, name, &loop);
            if (!instance.m_driver.Open(instance.m_interfacePath))
            {
                VLOG(velmar::LogSeverity::Info) << L"Failed to open audio driver for " << name;
                TraceEvent(TraceEvents::OpeningDriverFailed, name, &loop);
                platform::Api().SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
                TraceEvent(TraceEvents::OpeningDriverFailedWaiting, name, &loop);
                WaitBeforeRetry();
                opening.Stop();
                continue;
            }
            opening.Stop();
            // Wine accepts the priority but does not schedule by it.
            if (!platform::Api().SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL))
            {
                VLOG(velmar::LogSeverity::Warn)
                    << L"Failed to get high priority for processing task for " << name;
            }
        }
        RunPhase(loop, *processing, registryEvent, input, output);
    }

    // C. Teardown
    TraceEvent(TraceEvents::ClosingDriver, name, &loop);
    instance.m_driver.Cancel();
    TraceEvent(TraceEvents::ClosedDriver, name, &loop);
    VLOG(velmar::LogSeverity::Warn) << L"Instance stopping for " << name;
    TraceEvent(TraceEvents::StoppingInstance, name, &loop);
    processing->Shutdown();
    TraceEvent(TraceEvents::StoppedInstance, name, &loop);
    loop.Stop();
    return true;
}

void CAudioLoop::RunPhase(const TraceActivity& loop, CProcessingInstance& processing, CEvent& registryEvent,
                          float* input, float* output)
{
    CInstance& instance = m_instance;
    velmar::helper::CDynLoader& library = *instance.m_loader;
    CDriver& driver = instance.m_driver;
    const std::int64_t process = processing.ProcessHandle();
    const DWORD bytes = static_cast<DWORD>(m_audio.size() * sizeof(std::int32_t));

    CPhaseWatch watch(instance, registryEvent, processing, loop);
    std::int64_t counter = -1;
    bool pendingInput = false;
    // A failed write or read; true when the audio phase ends (stop, restart, loss of the driver).
    // Otherwise the failure is logged, and after a few in a row the loop waits one block period
    // (woken by stop and restart, which cancel the channel): a driver that fails every request at once
    // (ERROR_NOT_READY, ERROR_GEN_FAILURE) would have this time-critical thread spin and starve its
    // core on Windows. Wine does not schedule by the priority, so there the spin only wastes a core.
    const auto blockPeriod = std::chrono::microseconds(std::int64_t{m_chunk} * 1'000'000 / kStreamSampleRate);
    const auto TransferFailed =
        [&](TraceActivity& step, TraceActivity& chunk, const wchar_t* text, const std::wstring& name)
    {
        if (instance.m_restart.load() || instance.m_stop.load())
        {
            return true;
        }
        if (instance.HandleDriverLoss(name))
        {
            step.Stop();
            chunk.Stop();
            return true;
        }
        VLOG_ASYNC(velmar::LogSeverity::Info) << text << name;
        step.Stop();
        chunk.Stop();
        driver.PauseAfterFailures(blockPeriod);
        return false;
    };

    // The audio thread's own copy of the display name, refreshed at each chunk when a rename published a
    // new one; reserved here so that the refresh never allocates.
    std::wstring name;
    name.reserve(CPublishedName::kCapacity);
    std::uint32_t nameGeneration = instance.PublishedName().CopyTo(name);

    // From here to the end of the phase: no lock, no allocation while tracing is off, log only
    // through the asynchronous logger.
    while (!instance.m_stop.load() && !instance.m_restart.load() && !driver.IsCancelled() && driver.IsOpen())
    {
        ++counter;
        nameGeneration = instance.PublishedName().Refresh(name, nameGeneration);
        TraceActivity chunk(TraceEvents::AudioLoop, name, counter, &loop);

        if (process != 0 && pendingInput)
        {
            TraceActivity processingAudio(TraceEvents::ProcessingAudio, name, counter, &chunk);
            if (library.SetInstanceTracingProcessActivity != nullptr)
            {
                library.SetInstanceTracingProcessActivity(
                    process, reinterpret_cast<const std::uint8_t*>(&processingAudio.Id()));
            }
            library.ProcessAudio(process, library.GetBufferIn(process), library.GetBufferOut(process));
            processingAudio.Stop();
            TraceActivity convertingOut(TraceEvents::ConvertingAudioOut, name, counter, &chunk);
            library.AudioConvertTo(output, m_audio.data(), m_chunk, kDriverFormat);
            convertingOut.Stop();
            pendingInput = false;
        }

        TraceActivity writing(TraceEvents::WritingAudio, name, counter, &chunk);
        if (!driver.Transfer(true, m_audio.data(), bytes))
        {
            if (TransferFailed(writing, chunk, L"Failed to write audio to driver for ", name))
            {
                break;
            }
            continue;
        }
        writing.Stop();

        TraceActivity reading(TraceEvents::ReadingAudio, name, counter, &chunk);
        if (!driver.Transfer(false, m_audio.data(), bytes))
        {
            if (TransferFailed(reading, chunk, L"Failed to read audio from driver for ", name))
            {
                break;
            }
            std::fill(m_audio.begin(), m_audio.end(), 0);
            continue;
        }
        reading.Stop();
        if (process != 0)
        {
            TraceActivity convertingIn(TraceEvents::ConvertingAudioIn, name, counter, &chunk);
            library.AudioConvertFrom(m_audio.data(), input, m_chunk, kDriverFormat);
            convertingIn.Stop();
            pendingInput = true;
        }
        chunk.Stop();
    }
    watch.End();
}

void CAudioLoop::WaitBeforeRetry()
{
    std::unique_lock lock(m_instance.m_mutex);
    m_instance.m_condition.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(1),
                                      [this]
                                      { return m_instance.m_stop.load() || m_instance.m_restart.load(); });
}
