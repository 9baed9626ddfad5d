#include "processing/Instance.h"

#include "config/Config.h"
#include "config/StorageLock.h"
#include "config/StoragePath.h"
#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/FailureText.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "processing/AudioLoop.h"

namespace
{
// How long an instance whose device went without a query waits for the removal to be reported.
constexpr auto kRemovalNoticeLimit = std::chrono::seconds(1);
} // namespace

CInstance::CInstance(velmar::helper::CDynLoader* loader, std::wstring interfacePath,
                     std::shared_ptr<CConfigInstance> configuration)
    : m_loader(loader), m_interfacePath(std::move(interfacePath)), m_configuration(std::move(configuration)),
      m_keyName(m_configuration->InstanceId()), m_name(m_keyName)
{
    m_publishedName.Publish(m_name);
}

CInstance::~CInstance()
{
    Stop();
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void CInstance::Start()
{
    m_stop.exchange(false);
    m_restart.exchange(false);
    platform::Api().ResetEvent(m_stopEvent.Handle());
    if (m_thread.joinable())
    {
        VLOG(velmar::LogSeverity::Fatal) << L"Thread already running for " << ActiveName();
        return;
    }
    m_thread = std::thread(&CInstance::ThreadEntry, this);
}

void CInstance::Stop()
{
    std::lock_guard lock(m_mutex);
    if (!m_stop.exchange(true))
    {
        platform::Api().SetEvent(m_stopEvent.Handle());
        m_driver.Cancel();
        m_condition.notify_all();
    }
}

void CInstance::RequestRestart()
{
    std::lock_guard lock(m_mutex);
    if (!m_restart.exchange(true))
    {
        m_condition.notify_all();
        m_driver.Cancel();
    }
}

bool CInstance::HandleDriverLoss(const std::wstring& name)
{
    if (m_driver.TransferStalled())
    {
        // The device held a transfer back beyond the limit; it was cancelled. Reopening starts its
        // stream again. Logged once until a transfer gets through.
        if (m_driver.StallsInARow() == 1)
        {
            VLOG_ASYNC(velmar::LogSeverity::Warn)
                << L"Audio driver held a transfer back, reopening it for " << name;
        }
        m_driver.Close();
        return true;
    }
    if (m_driver.IsOpen() && !m_driver.IsCancelled())
    {
        if (!m_driver.TransferFoundDeviceGone())
        {
            return false;
        }
        return HandleDeviceGone(name);
    }
    m_driver.Close();
    if (m_stop.load())
    {
        return true;
    }
    if (m_restart.load())
    {
        return false;
    }
    // Stop cancels the channel, which wakes this wait: destroying an instance never waits for a
    // removal outcome that does not come.
    switch (m_driver.AwaitRemovalOutcome(m_stop))
    {
    case CDriver::RemovalOutcome::Removed:
        VLOG_ASYNC(velmar::LogSeverity::Info) << L"Audio driver has been removed for " << name;
        break;
    case CDriver::RemovalOutcome::Vetoed:
        VLOG_ASYNC(velmar::LogSeverity::Info)
            << L"Audio driver has been tried removed, but cancelled for " << name;
        break;
    case CDriver::RemovalOutcome::NoOutcome:
        VLOG_ASYNC(velmar::LogSeverity::Warn)
            << L"Audio driver removal has had no outcome in time, reopening it for " << name;
        break;
    case CDriver::RemovalOutcome::Stopped:
        // The instance is stopping; the removal's outcome no longer matters here.
        break;
    }
    return true;
}

bool CInstance::HandleDeviceGone(const std::wstring& name)
{
    // No query came first: every further transfer on this handle would fail at once, at time-critical
    // priority, until the system's remove-complete arrives. Let go of the device now and wait a little
    // for the system's word instead; the audio phase ends and the driver is reopened (once a second)
    // as after any other loss.
    m_driver.Close();
    CDriver::RemovalState state;
    {
        std::unique_lock lock(m_driver.RemovalMutex());
        m_driver.RemovalCondition().wait_for(lock, kRemovalNoticeLimit,
                                             [this]
                                             {
                                                 return m_driver.RemovalStateLocked() ==
                                                            CDriver::RemovalState::Removed ||
                                                        m_stop.load() || m_restart.load();
                                             });
        state = m_driver.RemovalStateLocked();
    }
    if (state == CDriver::RemovalState::Removed)
    {
        VLOG_ASYNC(velmar::LogSeverity::Info) << L"Audio driver has been removed for " << name;
    }
    return true;
}

std::wstring CInstance::ActiveName() const
{
    std::wstring name;
    name.reserve(CPublishedName::kCapacity);
    m_publishedName.CopyTo(name);
    return name;
}

void CInstance::PublishName(const std::wstring& name)
{
    m_publishedName.Publish(name);
}

void CInstance::RunWithStorage()
{
    // Another instance of the same id (a device removed and added again) may still be ending and
    // saving its state, or a device removal may be deleting the directory: wait for them, or for a stop.
    CStorageLock storage = CStorageLock::Acquire(m_keyName, m_stopEvent.Handle(), 0);
    if (storage.Result() == CStorageLock::Outcome::TimedOut)
    {
        VLOG(velmar::LogSeverity::Verb) << L"Waiting for the storage of " << m_keyName << L" to be released";
        storage = CStorageLock::Acquire(m_keyName, m_stopEvent.Handle(), INFINITE);
    }
    if (storage.Result() == CStorageLock::Outcome::Stopped)
    {
        return;
    }
    if (storage.Result() == CStorageLock::Outcome::Failed)
    {
        // Processing does not depend on the claim; only a concurrent removal is no longer ordered.
        VLOG(velmar::LogSeverity::Warn)
            << L"Cannot claim the storage of " << m_keyName << L": " << ToHex(storage.Error()) << L" "
            << FormatSystemError(storage.Error());
    }
    // A removal of the same id that ran before this claim may have taken the directory away.
    if (!EnsureInstanceStorage(InstanceStoragePath(m_configuration->Owner().StorageRoot(), m_keyName)))
    {
        return; // refused and logged
    }
    CAudioLoop loop(*this);
    loop.Run();
}

void CInstance::ThreadEntry()
{
    platform::CatchAtBoundary([this] { RunWithStorage(); }, [this](const std::exception* error)
                              { StopAfterFailure(L"Instance thread", error); });
}

void CInstance::StopAfterFailure(const wchar_t* thread, const std::exception* error) noexcept
{
    platform::CatchAtBoundary(
        [&]
        {
            if (error != nullptr)
            {
                VLOG(velmar::LogSeverity::Fatal)
                    << thread << L" exception for " << ActiveName() << L": " << platform::FailureText(error)
                    << L" - stopping this instance";
            }
            else
            {
                VLOG(velmar::LogSeverity::Fatal)
                    << thread << L" unknown exception for " << ActiveName() << L" - stopping this instance";
            }
        });
    platform::CatchAtBoundary([this] { Stop(); });
}
