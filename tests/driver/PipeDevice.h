#pragma once
// A named pipe that stands in for a device's control channel: the fake CreateFileW of the device
// table opens "<link>\Control" as the client end of the pipe, and the test serves the other end.
#include "ApiOverride.h"
#include "driver/Devices.h"

#include <cstdint>
#include <string>
#include <vector>

class CPipeDevice
{
public:
    // Serves link + "\Control" with a fresh pipe per Open; the pipe end stays blocking.
    explicit CPipeDevice(std::wstring link);
    ~CPipeDevice();
    CPipeDevice(const CPipeDevice&) = delete;
    CPipeDevice& operator=(const CPipeDevice&) = delete;

    // A new server end, ready for the next Open (the previous one is dropped).
    void Listen();
    // Completes the connection of the client opened since Listen.
    bool Accept();
    bool Write(const std::vector<std::uint8_t>& block);
    // Reads up to size bytes in one call; empty on failure. lastError tells why.
    std::vector<std::uint8_t> Read(DWORD size);
    DWORD lastError = 0;

    // What the last CreateFileW was asked.
    std::wstring openedPath;
    DWORD openedAccess = 0;
    DWORD openedShare = 0xffffffff;
    DWORD openedDisposition = 0;
    DWORD openedFlags = 0;
    HANDLE openedHandle = INVALID_HANDLE_VALUE;
    int openCalls = 0;
    bool failOpen = false;

private:
    static HANDLE WINAPI Open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile);

    std::wstring m_link;
    std::wstring m_pipeName;
    HANDLE m_server = INVALID_HANDLE_VALUE;
    CApiOverride<decltype(driver::DeviceApi::CreateFileW)> m_open;
};
