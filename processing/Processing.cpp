#include "processing/Processing.h"

#include "config/InstanceId.h"
#include "config/StoragePath.h"
#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "driver/DeviceChildren.h"
#include "driver/EndpointProperty.h"
#include "driver/InterfaceClass.h"
#include "platform/Boundary.h"
#include "platform/TextConversion.h"
#include "processing/Instance.h"
#include "processing/StreamFormat.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace
{
std::atomic<bool> g_managerExists{false};

// How long a stop waits for the instances of removed devices to end. Each ends within its own bounds
// (transfers, web server, library teardown); one that does not is left to the end of the process
// rather than holding the service in STOP_PENDING.
constexpr auto kRetirementLimit = std::chrono::seconds(20);

// Arrival, removing and removed come on the watcher's report thread (or, at start and stop, the
// manager's): nothing may leave them.
template <typename Body> void Notification(const wchar_t* what, const wchar_t* link, Body&& body)
{
    platform::CatchAtBoundary(
        [&]
        {
            const std::wstring prefix = std::wstring(what) + L" " + link;
            CatchAndLog(velmar::LogSeverity::Error, prefix.c_str(), body);
        });
}
} // namespace

CProcessing::CWatcher::CWatcher(CProcessing& owner) : m_owner(owner) {}

void CProcessing::CWatcher::OnArrival(const wchar_t* link)
{
    Notification(L"Failed to add an instance for", link, [&] { m_owner.AddInstance(link); });
}

void CProcessing::CWatcher::OnRemoving(const wchar_t* link)
{
    Notification(L"Failed to stop the instance of", link, [&] { m_owner.OnRemoving(link); });
}

void CProcessing::CWatcher::OnRemoved(const wchar_t* link)
{
    Notification(L"Failed to remove the instance of", link, [&] { m_owner.RemoveInstance(link); });
}

CProcessing::CProcessing(velmar::helper::CDynLoader* library)
    : m_library(library), m_watcher(*this), m_endpointWatcher(CAudioDriver_Watcher::Create())
{
    if (g_managerExists.exchange(true))
    {
        throw std::runtime_error("Can not have multiple CProcessing instances");
    }
    m_retirementThread = std::thread(&CProcessing::RetirementThread, this);
}

CProcessing::~CProcessing()
{
    // Its worker reads the instance table, which goes before the watcher does.
    m_endpointWatcher->Unregister();
    {
        std::lock_guard lock(m_retiredMutex);
        m_retirementStop = true;
    }
    m_retiredCondition.notify_all();
    if (m_retirementThread.joinable())
    {
        m_retirementThread.join();
    }
}

bool CProcessing::Start()
{
    velmar::helper::CDynLoader& library = *m_library;
    if (plog::get<0>() != nullptr &&
        plog::get<0>()->getMaxSeverity() >= velmar::ToPlog(velmar::LogSeverity::Info))
    {
        VLOG(velmar::LogSeverity::Info) << L"ORVANE.CL" << L" Version " << Utf8ToWide(library.GetVersion());
    }
    if (library.GetAudioInputCount() != 1 || library.GetAudioOutputCount() != 1 ||
        library.GetChannelCount() != 1 || library.GetSampleRate() != kStreamSampleRate)
    {
        VLOG(velmar::LogSeverity::Error) << L"The DLL has incompatible settings with this software";
        return false;
    }
    m_config.LoadGlobalParameters();
    for (const std::shared_ptr<CConfigInstance>& record : m_config.Instances())
    {
        PrepareInstanceStorage(InstanceStoragePath(m_config.StorageRoot(), record->InstanceId()));
    }
    ExportCertificatePaths();
    m_endpointWatcher->Register([this](const std::wstring& endpoint) { NameEndpoint(endpoint); });
    m_watcher.SetInterfaceClass(driver::kInterfaceClass);
    return m_watcher.Start();
}

void CProcessing::ExportCertificatePaths()
{
    m_certificatePath.Update(m_config.SSLCertificate());
    m_privateKeyPath.Update(m_config.SSLPrivate());
}

void CProcessing::WatchGlobalParameters()
{
    const std::vector<CEvent*> events{&StopEvent(), &m_registryChange};
    m_config.ParametersKey().Watch(m_registryChange);
    while (WaitForAnyEvent(events) != &StopEvent())
    {
        // Armed again before the values are read: a change made while they are read fires the next
        // round instead of being lost.
        m_config.ParametersKey().Watch(m_registryChange);
        if (m_config.ReloadGlobalParameters())
        {
            VLOG(velmar::LogSeverity::Info) << L"Global parameters changed, reloading all units";
            ExportCertificatePaths();
            std::lock_guard lock(m_instancesMutex);
            for (auto& [id, instance] : m_instances)
            {
                instance->RequestRestart();
            }
        }
    }
}

bool CProcessing::StopDeviceWatch()
{
    m_endpointWatcher->Unregister();
    m_watcher.Stop();
    std::unique_lock lock(m_retiredMutex);
    if (m_retiredCondition.wait_for(lock, kRetirementLimit,
                                    [this] { return m_retired.empty() && !m_retiring; }))
    {
        return true;
    }
    m_retirementAbandoned = true;
    VLOG(velmar::LogSeverity::Error)
        << L"Gave up waiting for " << (m_retired.size() + (m_retiring ? 1 : 0)) << L" instances to end after "
        << std::chrono::duration_cast<std::chrono::seconds>(kRetirementLimit).count()
        << L" s; the process ends without them";
    return false;
}

void CProcessing::AddInstance(const std::wstring& path)
{
    std::wstring id = InstanceIdFromPath(path);
    VLOG(velmar::LogSeverity::Verb) << L"Instance added: " << id;

    std::lock_guard lock(m_instancesMutex);
    if (const auto known = m_instances.find(id); known != m_instances.end())
    {
        // The same device in another letter case: one configuration record for both.
        id = known->first;
    }
    const std::shared_ptr<CConfigInstance> record = m_config.GetOrCreateInstance(id);
    if (!record)
    {
        return;
    }
    if (!EnsureInstanceStorage(InstanceStoragePath(m_config.StorageRoot(), id)))
    {
        // Refused (logged): nothing runs on a folder someone else may control.
        m_config.EraseInstance(id);
        return;
    }

    std::shared_ptr<CInstance> instance;
    try
    {
        instance = std::make_shared<CInstance>(m_library, path, record);
    }
    catch (const std::runtime_error& error)
    {
        VLOG(velmar::LogSeverity::Error) << L"Failed to create instance : " << Utf8ToWide(error.what());
        return;
    }
    catch (...)
    {
        VLOG(velmar::LogSeverity::Error) << L"Failed to create instance";
        return;
    }
    const bool inserted = m_instances.emplace(id, instance).second;
    instance->Start();
    if (!inserted)
    {
        // Another path gave the same id: that instance keeps running, this one goes again.
        Retire({std::move(instance), std::wstring()});
    }
}

void CProcessing::OnRemoving(const std::wstring& path)
{
    const std::wstring id = InstanceIdFromPath(path);
    std::lock_guard lock(m_instancesMutex);
    const auto found = m_instances.find(id);
    if (found != m_instances.end())
    {
        found->second->Stop();
    }
}

void CProcessing::RemoveInstance(const std::wstring& path)
{
    const std::wstring id = InstanceIdFromPath(path);
    std::shared_ptr<CInstance> instance;
    {
        std::lock_guard lock(m_instancesMutex);
        const auto found = m_instances.find(id);
        if (found == m_instances.end())
        {
            return;
        }
        instance = std::move(found->second);
        const std::wstring known = found->first;
        m_instances.erase(found);
        m_config.EraseInstance(known);
    }
    Retire({std::move(instance), id});
}

void CProcessing::NameEndpoint(const std::wstring& endpointInstanceId)
{
    std::vector<std::pair<std::wstring, std::wstring>> devices; // id, interface link
    {
        std::lock_guard lock(m_instancesMutex);
        for (const auto& [id, instance] : m_instances)
        {
            devices.emplace_back(id, instance->InterfacePath());
        }
    }
    // No instance is held here: an instance is only ever destroyed on the retirement thread.
    for (const auto& [id, link] : devices)
    {
        const std::vector<std::wstring> children = GetDeviceChildren(link, driver::kInterfaceClass);
        if (std::none_of(children.begin(), children.end(),
                         [&](const std::wstring& child)
                         { return driver::SameLinkText(child, endpointInstanceId); }))
        {
            continue;
        }
        // A rename may publish its name between the read and the write below, and write its own
        // before this one lands: the name is read again after the write, and written again when it
        // moved (a few rounds; the rename writes the newest name itself as well).
        std::optional<std::wstring> name = PublishedName(id);
        for (int round = 0; name && round < 4; ++round)
        {
            SetEndpointStringProperty(endpointInstanceId, kDeviceDescriptionKey, name->c_str());
            std::optional<std::wstring> now = PublishedName(id);
            if (now == name)
            {
                break;
            }
            name = std::move(now);
        }
        return;
    }
}

std::optional<std::wstring> CProcessing::PublishedName(const std::wstring& id) const
{
    std::lock_guard lock(m_instancesMutex);
    const auto found = m_instances.find(id);
    if (found == m_instances.end())
    {
        return std::nullopt;
    }
    return found->second->ActiveName();
}

std::vector<std::wstring> CProcessing::InstanceIds() const
{
    std::lock_guard lock(m_instancesMutex);
    std::vector<std::wstring> ids;
    for (const auto& entry : m_instances)
    {
        ids.push_back(entry.first);
    }
    return ids;
}

void CProcessing::Retire(Retired retired)
{
    retired.instance->Stop();
    {
        std::lock_guard lock(m_retiredMutex);
        m_retired.push_back(std::move(retired));
    }
    m_retiredCondition.notify_all();
}

void CProcessing::RetirementThread()
{
    std::unique_lock lock(m_retiredMutex);
    for (;;)
    {
        m_retiredCondition.wait(lock, [this] { return !m_retired.empty() || m_retirementStop; });
        if (m_retired.empty())
        {
            return;
        }
        Retired retired = std::move(m_retired.front());
        m_retired.pop_front();
        m_retiring = true;
        lock.unlock();
        CatchAndLog(velmar::LogSeverity::Error, L"Failed to destroy an instance",
                    [&]
                    {
                        // The last reference: the instance stops, joins its threads and lets go of its
                        // device.
                        retired.instance.reset();
                        if (!retired.id.empty())
                        {
                            VLOG(velmar::LogSeverity::Verb) << L"Instance removed: " << retired.id;
                        }
                    });
        lock.lock();
        m_retiring = false;
        m_retiredCondition.notify_all();
    }
}
