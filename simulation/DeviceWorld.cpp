#include "simulation/DeviceWorld.h"

#include "simulation/DeviceNames.h"
#include "simulation/RemovalProtocol.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include "platform/Boundary.h"

#include <chrono>

namespace simulation
{

namespace
{
constexpr wchar_t kServingName[] = L"OrvaneDeviceWorld.Serving";
std::atomic<CDeviceWorld*> g_current{nullptr};

StreamExpectation StoredExpectation(const DeviceRecord& device, const StreamExpectation& fallback)
{
    if (device.expectationSeq == 0)
    {
        return fallback;
    }
    return ParseExpectation(device.expectation).value_or(fallback);
}
} // namespace

CDeviceWorld::CDeviceWorld(WorldOptions options)
    : m_options(std::move(options)), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CDeviceWorld::~CDeviceWorld()
{
    Stop();
}

CDeviceWorld* CDeviceWorld::Current()
{
    return g_current;
}

bool CDeviceWorld::Start()
{
    if (m_serving)
    {
        return true;
    }
    platform::UniqueHandle serving(::CreateEventW(nullptr, TRUE, FALSE, kServingName));
    if (!serving || ::GetLastError() == ERROR_ALREADY_EXISTS)
    {
        return false;
    }
    m_serving = std::move(serving);
    // The options other processes act on.
    store::SetRootValue(values::kDeliveryOrder, static_cast<DWORD>(m_options.deliveryOrder));
    store::SetRootValue(values::kLinkCase, static_cast<DWORD>(m_options.linkCase));
    store::SetRootValue(values::kEndpointDelay, m_options.endpointDelayMs);
    m_statsResetSeen = store::RootValue(values::kStatsResetSeq);
    g_current = this;
    ::ResetEvent(m_stop.get());
    Sync();
    m_control = std::thread([this] { platform::CatchAtBoundary([this] { ControlLoop(); }); });
    return true;
}

void CDeviceWorld::Stop()
{
    if (!m_serving)
    {
        return;
    }
    ::SetEvent(m_stop.get());
    if (m_control.joinable())
    {
        m_control.join();
    }
    PublishStatistics();
    std::map<std::wstring, std::unique_ptr<CControlChannel>> channels;
    {
        std::lock_guard removal(m_removalMutex);
        std::lock_guard lock(m_mutex);
        channels.swap(m_channels);
        m_seen.clear();
    }
    channels.clear(); // stops every channel: clients see their I/O fail
    store::SetRootValue(values::kDeliveryOrder, static_cast<DWORD>(DeliveryOrder::HandleEventsFirst));
    store::SetRootValue(values::kLinkCase, static_cast<DWORD>(LinkCase::Mixed));
    store::SetRootValue(values::kEndpointDelay, 0);
    g_current = nullptr;
    m_serving.reset();
}

CControlChannel* CDeviceWorld::Channel(const std::wstring& instanceId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_channels.find(ToUpper(instanceId));
    return it == m_channels.end() ? nullptr : it->second.get();
}

bool CDeviceWorld::Serves(const std::wstring& instanceId) const
{
    return Channel(instanceId) != nullptr;
}

void CDeviceWorld::Sync()
{
    std::lock_guard removal(m_removalMutex);
    const auto devices = store::Devices();
    std::map<std::wstring, const DeviceRecord*> started;
    for (const auto& device : devices)
    {
        if (device.state == DeviceState::Started)
        {
            started.emplace(ToUpper(device.instanceId), &device);
        }
    }
    std::vector<std::unique_ptr<CControlChannel>> retired;
    std::lock_guard lock(m_mutex);
    for (auto it = m_channels.begin(); it != m_channels.end();)
    {
        const auto now = started.find(it->first);
        const bool replaced = now != started.end() && now->second->record != m_seen[it->first].record;
        if (now == started.end() || replaced)
        {
            // The last figures of the channel stay readable (unless a new device has its record).
            if (!replaced)
            {
                store::PublishStatistics(it->second->InstanceId(), it->second->Statistics());
            }
            retired.push_back(std::move(it->second));
            m_seen.erase(it->first);
            it = m_channels.erase(it);
        }
        else
        {
            ++it;
        }
    }
    for (const auto& [key, device] : started)
    {
        if (m_channels.count(key) != 0)
        {
            continue;
        }
        ChannelOptions options = m_options.channel;
        options.expectation = StoredExpectation(*device, options.expectation);
        auto channel = std::make_unique<CControlChannel>(device->instanceId, device->index, options);
        if (channel->Start())
        {
            // Requests made before the channel existed are not carried out, except the settings.
            Seen seen{device->record, device->shortReadRequests, device->stallRequests, 1000,
                      device->expectationSeq};
            if (device->slowPermille != 1000)
            {
                channel->SetSlowFactor(device->slowPermille / 1000.0);
                seen.slowPermille = device->slowPermille;
            }
            m_seen[key] = seen;
            m_channels.emplace(key, std::move(channel));
        }
    }
}

RemovalOutcome CDeviceWorld::Remove(const std::wstring& instanceId, RemovalKind kind)
{
    std::lock_guard removal(m_removalMutex);
    RemovalSettings settings;
    settings.waitMs = m_options.removalWaitMs;
    settings.graceMs = m_options.removalGraceMs;
    settings.surpriseGapMs = m_options.surpriseRemovalGapMs;
    const RemovalOutcome outcome = RunRemoval(instanceId, kind, settings, Channel(instanceId));
    if (outcome == RemovalOutcome::Removed)
    {
        Sync();
    }
    return outcome;
}

bool CDeviceWorld::InjectShortRead(const std::wstring& instanceId)
{
    CControlChannel* channel = Channel(instanceId);
    if (channel == nullptr)
    {
        return false;
    }
    channel->InjectShortRead();
    return true;
}

bool CDeviceWorld::InjectStall(const std::wstring& instanceId, DWORD ms)
{
    CControlChannel* channel = Channel(instanceId);
    if (channel == nullptr)
    {
        return false;
    }
    channel->InjectStall(ms);
    return true;
}

bool CDeviceWorld::SetSlowFactor(const std::wstring& instanceId, double factor)
{
    CControlChannel* channel = Channel(instanceId);
    if (channel == nullptr)
    {
        return false;
    }
    channel->SetSlowFactor(factor);
    return true;
}

bool CDeviceWorld::SetExpectation(const std::wstring& instanceId, const StreamExpectation& expectation)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_channels.find(ToUpper(instanceId));
    if (it == m_channels.end())
    {
        return false;
    }
    it->second->SetExpectation(expectation);
    return true;
}

void CDeviceWorld::ResetStatistics()
{
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, channel] : m_channels)
        {
            channel->ResetStatistics();
        }
    }
    PublishStatistics();
}

std::optional<DeviceStatistics> CDeviceWorld::Statistics(const std::wstring& instanceId) const
{
    const CControlChannel* channel = Channel(instanceId);
    if (channel == nullptr)
    {
        return std::nullopt;
    }
    DeviceStatistics figures = channel->Statistics();
    store::ReadCounts(instanceId, figures);
    return figures;
}

void CDeviceWorld::PublishStatistics()
{
    std::lock_guard lock(m_mutex);
    for (const auto& [key, channel] : m_channels)
    {
        store::PublishStatistics(channel->InstanceId(), channel->Statistics());
    }
}

void CDeviceWorld::HandleChannelRequests(const DeviceRecord& device)
{
    std::lock_guard lock(m_mutex);
    const std::wstring key = ToUpper(device.instanceId);
    const auto seen = m_seen.find(key);
    const auto channel = m_channels.find(key);
    if (seen == m_seen.end() || channel == m_channels.end())
    {
        return;
    }
    Seen& s = seen->second;
    for (; s.shortReads < device.shortReadRequests; ++s.shortReads)
    {
        channel->second->InjectShortRead();
    }
    if (s.stalls < device.stallRequests)
    {
        s.stalls = device.stallRequests;
        channel->second->InjectStall(device.stallMs);
    }
    if (s.slowPermille != device.slowPermille)
    {
        s.slowPermille = device.slowPermille;
        channel->second->SetSlowFactor(device.slowPermille / 1000.0);
    }
    if (s.expectationSeq != device.expectationSeq)
    {
        s.expectationSeq = device.expectationSeq;
        channel->second->SetExpectation(StoredExpectation(device, m_options.channel.expectation));
    }
}

void CDeviceWorld::HandleRequests(const std::vector<DeviceRecord>& devices)
{
    for (const auto& device : devices)
    {
        if (device.removeRequestSeq > device.removeResultSeq)
        {
            const auto kind = static_cast<RemovalKind>(device.removeRequestKind);
            RemovalOutcome outcome = RemovalOutcome::NotFound;
            if (kind == RemovalKind::Orderly || kind == RemovalKind::WorldVeto ||
                kind == RemovalKind::Surprise)
            {
                outcome = Remove(device.instanceId, kind);
            }
            store::AnswerRemoval(device.instanceId, device.removeRequestSeq, static_cast<DWORD>(outcome));
        }
        HandleChannelRequests(device);
    }
    const DWORD reset = store::RootValue(values::kStatsResetSeq);
    if (reset != m_statsResetSeen)
    {
        m_statsResetSeen = reset;
        ResetStatistics();
        store::SetRootValue(values::kStatsResetDone, reset);
    }
}

void CDeviceWorld::ControlLoop()
{
    platform::UniqueEvent changed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HKEY root = nullptr;
    auto published = std::chrono::steady_clock::now();
    for (;;)
    {
        ::ResetEvent(changed.get());
        store::ArmWorldKeyWatch(root, changed.get());
        try
        {
            Sync();
            HandleRequests(store::Devices());
            const auto now = std::chrono::steady_clock::now();
            if (now - published >= std::chrono::milliseconds(250))
            {
                PublishStatistics();
                published = now;
            }
        }
        catch (const std::exception&)
        {
            // The store was unreachable for a moment: the next pass tries again.
        }
        const HANDLE waits[] = {m_stop.get(), changed.get()};
        if (::WaitForMultipleObjects(2, waits, FALSE, root != nullptr ? 250 : 20) == WAIT_OBJECT_0)
        {
            break;
        }
    }
    if (root != nullptr)
    {
        ::RegCloseKey(root);
    }
}

} // namespace simulation
