// The tests create and delete HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv, C:\ProgramData\VELMAR, services and event
// sources: harmless in the Wine prefix of the build tree, destructive on a real machine. Every test binary
// links this file and ends at once, before any test runs, unless it runs under Wine in exactly that prefix
// (ORVANE_TEST_WINEPREFIX, the prefix scripts/wine-env and ctest use).
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include <windows.h>

namespace
{

// Wine gives every process the Unix path of its prefix as WINECONFIGDIR, in NT form: "\??\Z:\...".
std::wstring RunningWinePrefix()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr)
    {
        return {}; // not Wine: a real Windows machine
    }
    wchar_t value[MAX_PATH * 2] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"WINECONFIGDIR", value, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2)
    {
        return {};
    }
    std::wstring prefix(value, length);
    const std::wstring ntDrive = L"\\??\\Z:";
    if (prefix.rfind(ntDrive, 0) == 0)
    {
        prefix.erase(0, ntDrive.size());
    }
    for (wchar_t& c : prefix)
    {
        c = c == L'\\' ? L'/' : c;
    }
    return prefix;
}

[[maybe_unused]] const bool g_hermetic = []
{
    const std::wstring expected = L"" ORVANE_TEST_WINEPREFIX;
    const std::wstring running = RunningWinePrefix();
    if (running != expected)
    {
        std::fwprintf(
            stderr,
            L"Refusing to run: these tests change the machine's registry and files and run only under "
            L"Wine in the prefix %ls (scripts/test, or ctest in the build tree). This process runs %ls.\n",
            expected.c_str(), running.empty() ? L"outside Wine" : (L"in " + running).c_str());
        std::fflush(stderr);
        std::_Exit(3);
    }
    return true;
}();

} // namespace
