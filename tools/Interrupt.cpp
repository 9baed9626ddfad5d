// orvane-interrupt: sends Ctrl+C to the console of another process, as a user at that console would.
// A process of its own for every interrupt: under Wine a process that has attached to one console
// and freed it again cannot deliver an event to a second one.
//
//   orvane-interrupt PID      exit 0 when the event was sent
#include <cwchar>

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fwprintf(stderr, L"usage: orvane-interrupt PID\n");
        return 2;
    }
    const DWORD process = std::wcstoul(argv[1], nullptr, 10);
    FreeConsole();
    if (!AttachConsole(process))
    {
        return 1;
    }
    // This process is attached to that console now: it must not end itself with the event.
    SetConsoleCtrlHandler(nullptr, TRUE);
    return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : 1;
}
