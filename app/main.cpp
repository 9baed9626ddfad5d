#include "app/MainRoutine.h"
#include "diagnostics/TraceProvider.h"

int wmain(int argc, wchar_t** argv)
{
    return MainRoutine(argc, argv, L"velmar.orvane.cl.dll", &ProcessTraceProvider());
}
