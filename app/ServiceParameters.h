#pragma once
#include <string>

// The options text a service operation stores for the service's own runs: "-v " to "-vvvvv " for
// verbosity 5 to 9 (nothing for 4 or below and for 10 and above), then "--event-log " when logging
// to the event log.
std::wstring ServiceParameterString(int verbosity, bool eventLog);
