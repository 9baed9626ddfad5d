#include <cstdio>
#include <cwchar>

// Placeholder entry until the front end lands.
int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && std::wcscmp(argv[1], L"-V") == 0)
    {
        std::fputs("1.0.0.13\n", stdout);
        return 0;
    }
    std::fwprintf(stdout, L"Usage: %ls [options]\n", argv[0]);
    return 0;
}
