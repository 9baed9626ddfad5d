// orvane-vdev: runs and drives the simulated device world from the command line.
#include "simulation/DeviceControl.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"
#include "simulation/WorldStore.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include <windows.h>

namespace
{

using namespace simulation;

constexpr wchar_t kStopName[] = L"OrvaneDeviceWorld.Stop";
HANDLE g_stop = nullptr;

void Usage()
{
    std::fwprintf(
        stderr, L"usage: orvane-vdev start N [--frames F] | add | remove ID [--veto] | surprise-remove ID |\n"
                L"                   short-read ID | list | stats | stop | reset\n"
                L"ID is a device instance id, with \"\\\" or \"#\" (ROOT\\MEDIA\\0000 or ROOT#MEDIA#0000)\n");
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(g_stop);
    return TRUE;
}

std::wstring DeviceId(const wchar_t* argument)
{
    std::wstring id = argument;
    for (auto& c : id)
    {
        if (c == L'#')
            c = L'\\';
    }
    return id;
}

const wchar_t* StateName(DeviceState state)
{
    switch (state)
    {
    case DeviceState::Registered:
        return L"registered";
    case DeviceState::Started:
        return L"started";
    case DeviceState::Removed:
        return L"removed";
    case DeviceState::SurpriseRemoved:
        return L"surprise-removed";
    }
    return L"?";
}

int Start(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        Usage();
        return 1;
    }
    const unsigned count = static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10));
    WorldOptions options;
    for (int i = 3; i + 1 < argc; i += 2)
    {
        if (std::wcscmp(argv[i], L"--frames") == 0)
            options.channel.framesPerBlock = std::wcstoul(argv[i + 1], nullptr, 10);
    }
    if (options.channel.framesPerBlock == 0 || options.channel.framesPerBlock > 48000)
    {
        std::fwprintf(stderr, L"Frames per block must be 1 to 48000\n");
        return 1;
    }
    g_stop = ::CreateEventW(nullptr, TRUE, FALSE, kStopName);
    CDeviceWorld world(options);
    if (!g_stop || !world.Start())
    {
        std::fwprintf(stderr, L"A device world is already running\n");
        return 1;
    }
    ::ResetEvent(g_stop);
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    for (unsigned i = 0; i < count; ++i)
        std::wprintf(L"%ls\n", AddDevice().c_str());
    std::wprintf(L"Serving until Ctrl+C or \"orvane-vdev stop\"\n");
    std::fflush(stdout);
    ::WaitForSingleObject(g_stop, INFINITE);
    world.Stop();
    ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    ::CloseHandle(g_stop);
    return 0;
}

int Remove(const wchar_t* argument, RemovalKind kind)
{
    const RemovalOutcome outcome = RequestRemoval(DeviceId(argument), kind);
    std::wprintf(L"%ls: %ls\n", DeviceId(argument).c_str(), RemovalOutcomeName(outcome));
    switch (outcome)
    {
    case RemovalOutcome::Removed:
        return 0;
    case RemovalOutcome::Vetoed:
        return 2;
    default:
        return 1;
    }
}

int List()
{
    for (const auto& d : store::Devices())
    {
        if (d.state == DeviceState::Removed)
            continue;
        std::wprintf(L"%ls %ls %ls capture %ls render %ls\n", d.instanceId.c_str(), StateName(d.state),
                     LinkForInstance(d.instanceId).c_str(), d.captureEndpoint.c_str(),
                     d.renderEndpoint.c_str());
    }
    return 0;
}

int Stats()
{
    for (const auto& d : store::Devices())
    {
        if (d.state == DeviceState::Removed)
            continue;
        const DeviceStatistics s = Statistics(d.instanceId).value_or(DeviceStatistics{});
        std::wprintf(L"%ls connections %u read %u written %u late %u short %u checked %u mismatches %u "
                     L"first-mismatch %d:%d\n",
                     d.instanceId.c_str(), s.connections, s.blocksRead, s.blocksWritten, s.lateBlocks,
                     s.shortReadsInjected, s.blocksChecked, s.mismatches, s.firstMismatchBlock,
                     s.firstMismatchFrame);
    }
    return 0;
}

int Stop()
{
    HANDLE stop = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopName);
    if (!stop || !WorldIsServing())
    {
        if (stop)
            ::CloseHandle(stop);
        std::fwprintf(stderr, L"No device world is running\n");
        return 1;
    }
    ::SetEvent(stop);
    ::CloseHandle(stop);
    for (int i = 0; i < 500 && WorldIsServing(); ++i)
        ::Sleep(20);
    return WorldIsServing() ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        Usage();
        return 1;
    }
    const std::wstring command = argv[1];
    try
    {
        if (command == L"start")
            return Start(argc, argv);
        if (command == L"add" && argc == 2)
        {
            std::wprintf(L"%ls\n", AddDevice().c_str());
            return 0;
        }
        if (command == L"remove" && argc == 3)
            return Remove(argv[2], RemovalKind::Orderly);
        if (command == L"remove" && argc == 4 && std::wcscmp(argv[3], L"--veto") == 0)
            return Remove(argv[2], RemovalKind::WorldVeto);
        if (command == L"surprise-remove" && argc == 3)
            return Remove(argv[2], RemovalKind::Surprise);
        if (command == L"short-read" && argc == 3)
            return RequestShortRead(DeviceId(argv[2])) ? 0 : 1;
        if (command == L"list")
            return List();
        if (command == L"stats")
            return Stats();
        if (command == L"stop")
            return Stop();
        if (command == L"reset")
        {
            if (WorldIsServing())
            {
                std::fwprintf(stderr, L"Stop the running device world first\n");
                return 1;
            }
            ResetWorld();
            return 0;
        }
    }
    catch (const std::exception& e)
    {
        std::fwprintf(stderr, L"orvane-vdev: %hs\n", e.what());
        return 1;
    }
    Usage();
    return 1;
}
