#include "app/ServiceParameters.h"

std::wstring ServiceParameterString(int verbosity, bool eventLog)
{
    std::wstring text;
    if (verbosity >= 5 && verbosity <= 9)
    {
        text = L"-" + std::wstring(static_cast<std::size_t>(verbosity - 4), L'v') + L" ";
    }
    if (eventLog)
    {
        text += L"--event-log ";
    }
    return text;
}
