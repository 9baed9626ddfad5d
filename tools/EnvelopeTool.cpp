// orvane-envelope: prints the stored form of a password (the envelope the host decrypts), for
// scripts that configure an instance as an administrator's tools would. The program itself only
// decrypts.
//
//   orvane-envelope PASSWORD
#include "platform/TextConversion.h"

#include "EnvelopeWriter.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fwprintf(stderr, L"usage: orvane-envelope PASSWORD\n");
        return 2;
    }
    std::fputws(MakeEnvelopeW(WideToUtf8(argv[1])).c_str(), stdout);
    std::fputws(L"\n", stdout);
    return 0;
}
