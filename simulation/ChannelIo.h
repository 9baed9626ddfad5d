#pragma once
// The kernel side of the channel handles this process holds: as a driver sees every request on its
// device, the world sees the reads and writes a client makes on a control-channel handle (the system
// call table's ReadFile, WriteFile and GetOverlappedResult pass through here once a channel was
// opened). It counts the client's failed and cancelled transfers per device and fails a read or a
// write on request with a chosen error code: a failed write is refused before the device took
// anything; a failed read completes as it would have, and the block it would have returned is lost.
// Lookups on the transfer path take no lock and allocate nothing; the counts are added to the shared
// store by the notification hub's thread.
#include <string>

#include <windows.h>

namespace simulation
{

class CChannelIo
{
public:
    // A control-channel handle of the device was opened in this process.
    static void Observe(HANDLE handle, const std::wstring& instanceId);
    // The next read (or write) on the device's handle fails with `error`; false when this process
    // holds no handle of the device.
    static bool Arm(const std::wstring& instanceId, bool read, DWORD error);
    // Adds the counts gathered since the last call to the store.
    static void Publish();
};

} // namespace simulation
