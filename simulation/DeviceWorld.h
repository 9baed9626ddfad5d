#pragma once
// The serving device world: the process that runs the driver side of every started device's control
// channel. Only one process serves at a time (a named event marks it). It follows the shared store, so
// it also serves devices that other processes create (orvane-vdev add, orvane-sim -a) and answers
// their removal and short-read requests. Without a serving world, devices exist but their channels
// cannot be opened, like devices whose driver is not running.
#include "simulation/ControlChannel.h"
#include "simulation/DeviceRecord.h"
#include "simulation/RemovalTypes.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace simulation
{

struct WorldOptions
{
    ChannelOptions channel;
    DWORD removalWaitMs = 2000; // how long an orderly removal waits for the handle to be closed
};

class CDeviceWorld
{
public:
    explicit CDeviceWorld(WorldOptions options = {});
    ~CDeviceWorld();
    CDeviceWorld(const CDeviceWorld&) = delete;
    CDeviceWorld& operator=(const CDeviceWorld&) = delete;

    // Becomes the serving world; false when another process (or object) already serves.
    bool Start();
    void Stop();

    // The serving world of this process, or null.
    static CDeviceWorld* Current();

    RemovalOutcome Remove(const std::wstring& instanceId, RemovalKind kind);
    bool InjectShortRead(const std::wstring& instanceId);
    std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId) const;
    bool Serves(const std::wstring& instanceId) const;
    // Brings the channels in line with the store now (also done on every store change).
    void Sync();

private:
    void ControlLoop();
    void HandleRequests(const std::vector<DeviceRecord>& devices);
    void PublishStatistics();
    CControlChannel* Channel(const std::wstring& instanceId) const;

    WorldOptions m_options;
    HANDLE m_serving = nullptr;
    HANDLE m_stop = nullptr;
    std::thread m_control;
    mutable std::mutex m_mutex; // the channel map
    std::map<std::wstring, std::unique_ptr<CControlChannel>> m_channels;
    std::map<std::wstring, DWORD> m_shortReadsSeen;
    std::recursive_mutex m_removalMutex; // removals and channel changes, one at a time
};

} // namespace simulation
