// orvane-vdev: runs and drives the simulated device world from the command line.
#include "simulation/DeviceControl.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"
#include "simulation/StreamExpectation.h"
#include "simulation/WorldStore.h"

#include "platform/Boundary.h"
#include "platform/UniqueHandle.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

namespace
{

using namespace simulation;

constexpr wchar_t kStopName[] = L"OrvaneDeviceWorld.Stop";
HANDLE g_stop = nullptr;

void Usage()
{
    std::fwprintf(
        stderr,
        L"usage: orvane-vdev start N [--frames F] [--expect E] [--order handle-first|interface-first]\n"
        L"                         [--surprise-gap MS] [--grace MS] [--link-case upper|lower|mixed]\n"
        L"                         [--endpoint-delay MS] |\n"
        L"                   add | remove ID|all [--veto] |\n"
        L"                   surprise-remove ID | expect ID E | short-read ID | fail-read ID CODE |\n"
        L"                   fail-write ID CODE | stall ID [MS] | slow ID FACTOR | list |\n"
        L"                   stats [--json] | reset-stats | stop | reset\n"
        L"ID is a device instance id, with \"\\\" or \"#\" (ROOT\\MEDIA\\0000 or ROOT#MEDIA#0000)\n"
        L"E is the expected processing: identity, gain=G, delay=FRAMES, or both (gain=0.5,delay=48)\n");
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    platform::CatchAtBoundary([] { ::SetEvent(g_stop); });
    return TRUE;
}

std::wstring DeviceId(const wchar_t* argument)
{
    std::wstring id = argument;
    for (auto& character : id)
    {
        if (character == L'#')
        {
            character = L'\\';
        }
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
        {
            options.channel.framesPerBlock = std::wcstoul(argv[i + 1], nullptr, 10);
        }
        else if (std::wcscmp(argv[i], L"--order") == 0 && std::wcscmp(argv[i + 1], L"handle-first") == 0)
        {
            options.deliveryOrder = DeliveryOrder::HandleEventsFirst;
        }
        else if (std::wcscmp(argv[i], L"--order") == 0 && std::wcscmp(argv[i + 1], L"interface-first") == 0)
        {
            options.deliveryOrder = DeliveryOrder::InterfaceRemovalFirst;
        }
        else if (std::wcscmp(argv[i], L"--surprise-gap") == 0)
        {
            options.surpriseRemovalGapMs = std::wcstoul(argv[i + 1], nullptr, 10);
        }
        else if (std::wcscmp(argv[i], L"--grace") == 0)
        {
            options.removalGraceMs = std::wcstoul(argv[i + 1], nullptr, 10);
        }
        else if (std::wcscmp(argv[i], L"--endpoint-delay") == 0)
        {
            options.endpointDelayMs = std::wcstoul(argv[i + 1], nullptr, 10);
        }
        else if (std::wcscmp(argv[i], L"--link-case") == 0)
        {
            const auto linkCase = ParseLinkCase(argv[i + 1]);
            if (!linkCase)
            {
                Usage();
                return 1;
            }
            options.linkCase = *linkCase;
        }
        else if (std::wcscmp(argv[i], L"--expect") == 0)
        {
            const auto expectation = ParseExpectation(argv[i + 1]);
            if (!expectation)
            {
                std::fwprintf(stderr, L"Not an expectation: %ls\n", argv[i + 1]);
                return 1;
            }
            options.channel.expectation = *expectation;
        }
        else
        {
            Usage();
            return 1;
        }
    }
    if (options.channel.framesPerBlock == 0 || options.channel.framesPerBlock > 48000)
    {
        std::fwprintf(stderr, L"Frames per block must be 1 to 48000\n");
        return 1;
    }
    platform::UniqueEvent stop(::CreateEventW(nullptr, TRUE, FALSE, kStopName));
    CDeviceWorld world(options);
    if (!stop || !world.Start())
    {
        std::fwprintf(stderr, L"A device world is already running\n");
        return 1;
    }
    g_stop = stop.get();
    ::ResetEvent(g_stop);
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    for (unsigned i = 0; i < count; ++i)
    {
        std::wprintf(L"%ls\n", AddDevice().c_str());
    }
    std::wprintf(L"Serving until Ctrl+C or \"orvane-vdev stop\"\n");
    std::fflush(stdout);
    ::WaitForSingleObject(g_stop, INFINITE);
    world.Stop();
    ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    g_stop = nullptr;
    return 0;
}

int ExitCode(RemovalOutcome outcome)
{
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

int Remove(const std::wstring& argument, RemovalKind kind)
{
    std::vector<std::wstring> ids;
    if (argument == L"all")
    {
        ids = StartedDevices();
    }
    else
    {
        ids.push_back(DeviceId(argument.c_str()));
    }
    int result = 0;
    for (const auto& id : ids)
    {
        const RemovalOutcome outcome = RequestRemoval(id, kind);
        std::wprintf(L"%ls: %ls\n", id.c_str(), RemovalOutcomeName(outcome));
        const int code = ExitCode(outcome);
        // Not found or no answer outweighs a veto.
        result = code == 1 || result == 1 ? 1 : std::max(result, code);
    }
    return result;
}

int List()
{
    for (const auto& device : store::Devices())
    {
        if (device.state == DeviceState::Removed)
        {
            continue;
        }
        std::wprintf(L"%ls %ls %ls\n", device.instanceId.c_str(), StateName(device.state),
                     LinkForInstance(device.instanceId).c_str());
        for (const auto& [role, endpoint] :
             {std::pair{L"capture", device.captureEndpoint}, std::pair{L"render", device.renderEndpoint}})
        {
            std::wprintf(L"  %ls %ls\n", role, endpoint.c_str());
            for (const auto& [key, value] : store::EndpointProperties(endpoint))
            {
                std::wprintf(L"    %ls = %ls\n", key.c_str(), value.c_str());
            }
        }
    }
    return 0;
}

std::wstring JsonString(const std::wstring& text)
{
    std::wstring out = L"\"";
    for (const wchar_t c : text)
    {
        if (c == L'"' || c == L'\\')
        {
            out += L'\\';
        }
        out += c;
    }
    return out + L"\"";
}

int Stats(bool json)
{
    for (const auto& device : store::Devices())
    {
        if (device.state == DeviceState::Removed)
        {
            continue;
        }
        const DeviceStatistics figures = Statistics(device.instanceId).value_or(DeviceStatistics{});
        if (json)
        {
            std::wprintf(L"{\"id\":%ls,\"connections\":%u,\"blocksRead\":%u,\"blocksWritten\":%u,"
                         L"\"blocksChecked\":%u,\"mismatches\":%u,\"firstMismatchBlock\":%d,"
                         L"\"firstMismatchFrame\":%d,\"lateBlocks\":%u,\"turnaroundP50Us\":%u,"
                         L"\"turnaroundP99Us\":%u,\"turnaroundMaxUs\":%u,\"worldLateMaxUs\":%u,"
                         L"\"glitchUs\":%llu,\"silenceUs\":%u,\"firstCheckUs\":%u,\"failedTransfers\":%u,"
                         L"\"cancelledTransfers\":%u,"
                         L"\"shortReadsInjected\":%u,\"failedReadsInjected\":%u,\"failedWritesInjected\":%u,"
                         L"\"stallsInjected\":%u,\"vetoesOpenHandle\":%u,\"vetoesWorld\":%u,"
                         L"\"vetoesCallback\":%u,\"lateRemovals\":%u,\"unregisterInCallback\":%u}\n",
                         JsonString(device.instanceId).c_str(), figures.connections, figures.blocksRead,
                         figures.blocksWritten, figures.blocksChecked, figures.mismatches,
                         figures.firstMismatchBlock, figures.firstMismatchFrame, figures.lateBlocks,
                         figures.turnaroundP50Us, figures.turnaroundP99Us, figures.turnaroundMaxUs,
                         figures.worldLateMaxUs, static_cast<unsigned long long>(figures.glitchUs),
                         figures.silenceUs, figures.firstCheckUs, figures.failedTransfers,
                         figures.cancelledTransfers, figures.shortReadsInjected, figures.failedReadsInjected,
                         figures.failedWritesInjected, figures.stallsInjected, figures.vetoesOpenHandle,
                         figures.vetoesWorld, figures.vetoesCallback, figures.lateRemovals,
                         figures.unregisterInCallback);
            continue;
        }
        std::wprintf(
            L"%ls connections %u read %u written %u checked %u mismatches %u first-mismatch %d:%d "
            L"late %u turnaround p50/p99/max %u/%u/%u us world-late-max %u us glitch %llu us silence %u us "
            L"first-check %u us "
            L"failed %u cancelled %u injected short/read/write/stall %u/%u/%u/%u "
            L"vetoes open-handle/world/callback %u/%u/%u late-removals %u unregister-in-callback %u\n",
            device.instanceId.c_str(), figures.connections, figures.blocksRead, figures.blocksWritten,
            figures.blocksChecked, figures.mismatches, figures.firstMismatchBlock, figures.firstMismatchFrame,
            figures.lateBlocks, figures.turnaroundP50Us, figures.turnaroundP99Us, figures.turnaroundMaxUs,
            figures.worldLateMaxUs, static_cast<unsigned long long>(figures.glitchUs), figures.silenceUs,
            figures.firstCheckUs, figures.failedTransfers, figures.cancelledTransfers,
            figures.shortReadsInjected, figures.failedReadsInjected, figures.failedWritesInjected,
            figures.stallsInjected, figures.vetoesOpenHandle, figures.vetoesWorld, figures.vetoesCallback,
            figures.lateRemovals, figures.unregisterInCallback);
    }
    return 0;
}

int Stop()
{
    platform::UniqueEvent stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopName));
    if (!stop || !WorldIsServing())
    {
        std::fwprintf(stderr, L"No device world is running\n");
        return 1;
    }
    ::SetEvent(stop.get());
    for (int i = 0; i < 500 && WorldIsServing(); ++i)
    {
        ::Sleep(20);
    }
    return WorldIsServing() ? 1 : 0;
}

int Done(bool ok)
{
    if (!ok)
    {
        std::fwprintf(stderr, L"Unknown device, device not started, or a bad argument\n");
    }
    return ok ? 0 : 1;
}

int Run(int argc, wchar_t** argv)
{
    const std::wstring command = argv[1];
    const std::wstring id = argc >= 3 ? DeviceId(argv[2]) : L"";
    if (command == L"start")
    {
        return Start(argc, argv);
    }
    if (command == L"add" && argc == 2)
    {
        std::wprintf(L"%ls\n", AddDevice().c_str());
        return 0;
    }
    if (command == L"remove" && argc == 3)
    {
        return Remove(argv[2], RemovalKind::Orderly);
    }
    if (command == L"remove" && argc == 4 && std::wcscmp(argv[3], L"--veto") == 0)
    {
        return Remove(argv[2], RemovalKind::WorldVeto);
    }
    if (command == L"surprise-remove" && argc == 3)
    {
        return Remove(argv[2], RemovalKind::Surprise);
    }
    if (command == L"expect" && argc == 4)
    {
        return Done(SetExpectation(id, argv[3]));
    }
    if (command == L"short-read" && argc == 3)
    {
        return Done(RequestShortRead(id));
    }
    if ((command == L"fail-read" || command == L"fail-write") && argc == 4)
    {
        const DWORD code = std::wcstoul(argv[3], nullptr, 0);
        return Done(command == L"fail-read" ? RequestFailedRead(id, code) : RequestFailedWrite(id, code));
    }
    if (command == L"stall" && (argc == 3 || argc == 4))
    {
        return Done(RequestStall(id, argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 0));
    }
    if (command == L"slow" && argc == 4)
    {
        return Done(RequestSlow(id, std::wcstod(argv[3], nullptr)));
    }
    if (command == L"list" && argc == 2)
    {
        return List();
    }
    if (command == L"stats" && (argc == 2 || (argc == 3 && std::wcscmp(argv[2], L"--json") == 0)))
    {
        return Stats(argc == 3);
    }
    if (command == L"reset-stats" && argc == 2)
    {
        ResetStatistics();
        return 0;
    }
    if (command == L"stop")
    {
        return Stop();
    }
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
    Usage();
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        Usage();
        return 1;
    }
    int result = 1;
    platform::CatchAtBoundary(
        [&] { result = Run(argc, argv); }, [](const std::exception* error)
        { std::fwprintf(stderr, L"orvane-vdev: %hs\n", error ? error->what() : "unknown failure"); });
    return result;
}
