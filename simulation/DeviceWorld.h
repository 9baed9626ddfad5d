#pragma once
// The serving device world: the process that runs the driver side of every started device's control
// channel. Only one process serves at a time (a named event marks it). It follows the shared store, so
// it also serves devices that other processes create (orvane-vdev add, orvane-sim -a) and answers
// their removal and short-read requests. Without a serving world, devices exist but their channels
// cannot be opened, like devices whose driver is not running.
#include "simulation/ControlChannel.h"
#include "simulation/DeviceRecord.h"
#include "simulation/RemovalTypes.h"
#include "simulation/WorldOptions.h"

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
    bool InjectStall(const std::wstring& instanceId, DWORD ms);
    bool SetSlowFactor(const std::wstring& instanceId, double factor);
    bool SetExpectation(const std::wstring& instanceId, const StreamExpectation& expectation);
    // Every channel's figures start again.
    void ResetStatistics();
    std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId) const;
    bool Serves(const std::wstring& instanceId) const;
    // Brings the channels in line with the store now (also done on every store change).
    void Sync();

private:
    void ControlLoop();
    void HandleRequests(const std::vector<DeviceRecord>& devices);
    void HandleChannelRequests(const DeviceRecord& device);
    void PublishStatistics();
    CControlChannel* Channel(const std::wstring& instanceId) const;

    WorldOptions m_options;
    platform::UniqueHandle m_serving;
    platform::UniqueEvent m_stop;
    std::thread m_control;
    mutable std::mutex m_mutex; // the channel map
    std::map<std::wstring, std::unique_ptr<CControlChannel>> m_channels;
    // The request counts of each served device already carried out.
    struct Seen
    {
        DWORD record = 0; // the device record the channel serves
        DWORD shortReads = 0;
        DWORD stalls = 0;
        DWORD slowPermille = 1000;
        DWORD expectationSeq = 0;
    };
    std::map<std::wstring, Seen> m_seen;
    DWORD m_statsResetSeen = 0;
    std::recursive_mutex m_removalMutex; // removals and channel changes, one at a time
};

} // namespace simulation
