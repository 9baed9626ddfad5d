#pragma once
#include <string>

class CTraceProvider;

// One run of the program: scans the options in order and either carries out one command or service
// operation, or runs the processing until it is told to stop. Returns the exit code (0 done, 1
// failed, 2 done with a reboot needed). Called by the program entry and again by the service's body
// with the argument vector rebuilt from the service's stored options. argv may be permuted.
int MainRoutine(int argc, wchar_t** argv, const std::wstring& libraryFileName, CTraceProvider* traceProvider);
