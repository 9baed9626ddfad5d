#include "simulation/DeviceWorld.h"

#include "simulation/DeviceNames.h"
#include "simulation/RemovalProtocol.h"
#include "simulation/WorldStore.h"

#include <algorithm>

#include <chrono>

namespace simulation
{

namespace
{
constexpr wchar_t kServingName[] = L"OrvaneDeviceWorld.Serving";
std::atomic<CDeviceWorld*> g_current{nullptr};
} // namespace

CDeviceWorld::CDeviceWorld(WorldOptions options) : m_options(std::move(options))
{
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CDeviceWorld::~CDeviceWorld()
{
    Stop();
    ::CloseHandle(m_stop);
}

CDeviceWorld* CDeviceWorld::Current()
{
    return g_current;
}

bool CDeviceWorld::Start()
{
    if (m_serving)
        return true;
    HANDLE serving = ::CreateEventW(nullptr, TRUE, FALSE, kServingName);
    if (!serving)
        return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS)
    {
        ::CloseHandle(serving);
        return false;
    }
    m_serving = serving;
    g_current = this;
    ::ResetEvent(m_stop);
    Sync();
    m_control = std::thread([this] { ControlLoop(); });
    return true;
}

void CDeviceWorld::Stop()
{
    if (!m_serving)
        return;
    ::SetEvent(m_stop);
    if (m_control.joinable())
        m_control.join();
    PublishStatistics();
    std::map<std::wstring, std::unique_ptr<CControlChannel>> channels;
    {
        std::lock_guard removal(m_removalMutex);
        std::lock_guard lock(m_mutex);
        channels.swap(m_channels);
    }
    channels.clear(); // stops every channel: clients see their I/O fail
    g_current = nullptr;
    ::CloseHandle(m_serving);
    m_serving = nullptr;
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
    std::vector<std::unique_ptr<CControlChannel>> retired;
    std::lock_guard lock(m_mutex);
    for (auto it = m_channels.begin(); it != m_channels.end();)
    {
        const auto device = std::find_if(devices.begin(), devices.end(),
                                         [&](const auto& d) { return ToUpper(d.instanceId) == it->first; });
        if (device == devices.end() || device->state != DeviceState::Started)
        {
            retired.push_back(std::move(it->second));
            m_shortReadsSeen.erase(it->first);
            it = m_channels.erase(it);
        }
        else
        {
            ++it;
        }
    }
    for (const auto& d : devices)
    {
        const std::wstring key = ToUpper(d.instanceId);
        if (d.state != DeviceState::Started || m_channels.count(key))
            continue;
        auto channel = std::make_unique<CControlChannel>(d.instanceId, d.index, m_options.channel);
        if (channel->Start())
        {
            m_shortReadsSeen[key] = d.shortReadRequests;
            m_channels.emplace(key, std::move(channel));
        }
    }
}

RemovalOutcome CDeviceWorld::Remove(const std::wstring& instanceId, RemovalKind kind)
{
    std::lock_guard removal(m_removalMutex);
    const RemovalOutcome outcome = RunRemoval(instanceId, kind, m_options.removalWaitMs, Channel(instanceId));
    if (outcome == RemovalOutcome::Removed)
        Sync();
    return outcome;
}

bool CDeviceWorld::InjectShortRead(const std::wstring& instanceId)
{
    CControlChannel* channel = Channel(instanceId);
    if (!channel)
        return false;
    channel->InjectShortRead();
    return true;
}

std::optional<DeviceStatistics> CDeviceWorld::Statistics(const std::wstring& instanceId) const
{
    const CControlChannel* channel = Channel(instanceId);
    if (!channel)
        return std::nullopt;
    return channel->Statistics();
}

void CDeviceWorld::PublishStatistics()
{
    std::lock_guard lock(m_mutex);
    for (const auto& [key, channel] : m_channels)
        store::PublishStatistics(channel->InstanceId(), channel->Statistics());
}

void CDeviceWorld::HandleRequests(const std::vector<DeviceRecord>& devices)
{
    for (const auto& d : devices)
    {
        if (d.removeRequestSeq > d.removeResultSeq)
        {
            const auto kind = static_cast<RemovalKind>(d.removeRequestKind);
            RemovalOutcome outcome = RemovalOutcome::NotFound;
            if (kind == RemovalKind::Orderly || kind == RemovalKind::WorldVeto ||
                kind == RemovalKind::Surprise)
                outcome = Remove(d.instanceId, kind);
            store::AnswerRemoval(d.instanceId, d.removeRequestSeq, static_cast<DWORD>(outcome));
        }
        const std::wstring key = ToUpper(d.instanceId);
        std::lock_guard lock(m_mutex);
        const auto seen = m_shortReadsSeen.find(key);
        const auto channel = m_channels.find(key);
        if (seen != m_shortReadsSeen.end() && channel != m_channels.end())
        {
            for (; seen->second < d.shortReadRequests; ++seen->second)
                channel->second->InjectShortRead();
        }
    }
}

void CDeviceWorld::ControlLoop()
{
    HANDLE changed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY root = nullptr;
    auto published = std::chrono::steady_clock::now();
    for (;;)
    {
        ::ResetEvent(changed);
        store::ArmWorldKeyWatch(root, changed);
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
        const HANDLE waits[] = {m_stop, changed};
        if (::WaitForMultipleObjects(2, waits, FALSE, root ? 250 : 20) == WAIT_OBJECT_0)
            break;
    }
    if (root)
        ::RegCloseKey(root);
    ::CloseHandle(changed);
}

} // namespace simulation
