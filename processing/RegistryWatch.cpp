#include "processing/RegistryWatch.h"

#include "config/ConfigChange.h"
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"
#include "diagnostics/TraceActivity.h"
#include "platform/Boundary.h"
#include "platform/SystemApi.h"
#include "platform/TextConversion.h"
#include "processing/DeviceNaming.h"
#include "processing/Instance.h"
#include "processing/ProcessingInstance.h"
#include "processing/WebServer.h"

namespace
{
// The key notification could not be re-armed: the instance can no longer follow its configuration.
struct RegistryLost
{
};
} // namespace

void CRegistryWatch::Run(CInstance& instance, CEvent& registryEvent, CEvent& phaseStop,
                         CProcessingInstance& processing, const TraceActivity& loop)
{
    platform::CatchAtBoundary(
        [&]
        {
            try
            {
                Watch(instance, registryEvent, phaseStop, processing, loop);
            }
            catch (const RegistryLost&)
            {
                VLOG(velmar::LogSeverity::Warn) << L"Registry lost for " << instance.ActiveName();
                instance.Stop();
            }
        },
        [&](const std::exception* error) { instance.StopAfterFailure(L"watchreg thread", error); });
}

void CRegistryWatch::Watch(CInstance& instance, CEvent& registryEvent, CEvent& phaseStop,
                           CProcessingInstance& processing, const TraceActivity& loop)
{
    TraceActivity watch(TraceEvents::RegistryWatch, instance.m_name, &loop);
    SetThreadLabel(instance.m_name);
    platform::Api().SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    CConfigInstance& configuration = *instance.m_configuration;

    while (!instance.m_stop.load() && !instance.m_restart.load())
    {
        if (WaitForAnyEvent({&phaseStop, &registryEvent}) == &phaseStop)
        {
            break;
        }
        std::lock_guard lock(instance.m_mutex);
        if (instance.m_restart.load())
        {
            continue;
        }
        const std::wstring name = instance.m_name;
        TraceEvent(TraceEvents::GotRegistryChange, name, &watch);
        // Armed again before the values are read: a change made while they are read fires the next
        // round instead of being lost. A key the reload had to open again is armed after it.
        LONG armed = configuration.Key().TryWatch(registryEvent);
        const ConfigChange changes = configuration.Reload();
        if (armed != ERROR_SUCCESS)
        {
            armed = configuration.Key().TryWatch(registryEvent);
        }
        if (armed != ERROR_SUCCESS)
        {
            throw RegistryLost{};
        }
        if (HasChange(changes, ConfigChange::PortsChanged))
        {
            TraceEvent(TraceEvents::RegistryChangeWeb, name, &watch);
            RestartWebServer(processing, name, configuration.HttpPort(), configuration.HttpsPort());
        }
        if (HasChange(changes, ConfigChange::NameChanged))
        {
            TraceEvent(TraceEvents::RegistryChangeName, name, &watch);
            instance.m_name = configuration.Name();
            instance.PublishName(instance.m_name);
            SetThreadLabel(instance.m_name);
            processing.SetName(instance.m_name);
            NameDevice(instance.m_interfacePath, processing, instance.m_name);
        }
        if (HasChange(changes, ConfigChange::AdminPasswordChanged))
        {
            TraceEvent(TraceEvents::RegistryChangePassword, instance.m_name, &watch);
            SendAccountSetup(processing, configuration.GetAdminPassword(), false);
        }
    }
    watch.Stop();
}
