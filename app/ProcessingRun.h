#pragma once
#include "app/FrontOperations.h"

// A run without a command: logging, the asynchronous log path, the processing library with its log
// bridge and the trace provider, then the processing manager until the stop event is set. Returns the
// exit code: 1 when the library cannot be loaded or the processing cannot run.
int RunProcessing(const ProcessingRunOptions& options);
