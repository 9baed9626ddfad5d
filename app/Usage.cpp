#include "app/Usage.h"

#include "app/Version.h"

std::wstring UsageText(const std::wstring& programName)
{
    std::wstring text = L"Usage: " + programName + L" [options]\n";
    text += L"  -h,--help                   : print this help\n"
            L"  -V,--version                : get version\n"
            L"  -v,--verbose                : be more verbose\n"
            L"  -e,--event-log              : log to Windows'event log\n"
            L"  -D,--install-driver         : install driver\n"
            L"  -a,--add-device             : add device\n"
            L"  -r,--remove-device=ID       : remove device (use 'all' to remove all)\n"
            L"  -b,--reboot-info            : if reboot is needed, returns 2 instead of asking user\n"
            L"  -I,--install-service        : installs the service\n"
            L"  -U,--uninstall-service      : uninstalls the service\n"
            L"  -S,--start-service          : starts the service\n"
            L"  -R,--restart-service        : restarts the service\n"
            L"  -K,--stop-service           : stops the service\n"
            L"  -P,--set-service-parameters : set the service parameters\n";
    return text;
}

std::wstring VersionText()
{
    return ORVANE_VERSION_TEXT L"\n";
}
