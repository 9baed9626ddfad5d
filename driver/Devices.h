#pragma once
// The device table for code that also logs: setupapi.h defines LogSeverity as a macro (DWORD), which
// would rename velmar::LogSeverity in every file that includes both. Include this header instead of
// driver/DeviceApi.h wherever diagnostics/Log.h may be included too.
#include "driver/DeviceApi.h"

#ifdef LogSeverity
#undef LogSeverity
#endif
