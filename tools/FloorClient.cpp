// orvane-floor: the least a host can do on a device's control channel, as the floor the benchmarks
// measure the host against. One thread per device opens "<link>\Control" through the device table and
// writes every block it reads straight back: no library, no tracing, no logging.
//
//   orvane-floor SECONDS ID...      (ID as the world prints it, ROOT\MEDIA\0000)
#include "driver/Devices.h"
#include "platform/UniqueHandle.h"
#include "simulation/DeviceNames.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr DWORD kBlockBytes = 480 * 4;

bool Transfer(HANDLE channel, HANDLE event, bool write, void* buffer)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    const BOOL started = write ? WriteFile(channel, buffer, kBlockBytes, nullptr, &overlapped)
                               : ReadFile(channel, buffer, kBlockBytes, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING)
    {
        return false;
    }
    DWORD moved = 0;
    return GetOverlappedResult(channel, &overlapped, &moved, TRUE) && moved == kBlockBytes;
}

void Stream(const std::wstring& instanceId, const std::atomic<bool>& stop, std::atomic<int>& failures)
{
    const std::wstring path = simulation::LinkForInstance(instanceId) + L"\\Control";
    platform::UniqueFile channel(driver::Devices().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                                               nullptr));
    platform::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!channel || !event)
    {
        failures.fetch_add(1);
        return;
    }
    std::vector<unsigned char> block(kBlockBytes, 0);
    while (!stop.load())
    {
        if (!Transfer(channel.get(), event.get(), true, block.data()) ||
            !Transfer(channel.get(), event.get(), false, block.data()))
        {
            failures.fetch_add(1);
            return;
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fwprintf(stderr, L"usage: orvane-floor SECONDS ID...\n");
        return 2;
    }
    const int seconds = std::wcstol(argv[1], nullptr, 10);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> streams;
    for (int i = 2; i < argc; ++i)
    {
        streams.emplace_back(Stream, std::wstring(argv[i]), std::cref(stop), std::ref(failures));
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread& stream : streams)
    {
        stream.join();
    }
    if (failures.load() != 0)
    {
        std::fwprintf(stderr, L"orvane-floor: %d device(s) failed\n", failures.load());
        return 1;
    }
    return 0;
}
