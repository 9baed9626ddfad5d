#pragma once
// Everything the library's C interface hands out, by handle.
#include "reflib/HandleTable.h"
#include "reflib/Process.h"
#include "reflib/StringPool.h"
#include "reflib/WebServer.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velmar::reflib
{
// A parameters object: texts by name, read when a process is created (names of Settings.h set the
// process's default settings; values are JSON, except for the texts "processorname" and
// "filter_type", which are taken as they are), plus the trace context given with SetInstanceTracing.
struct CParameters
{
    std::mutex mutex;
    std::map<std::string, std::string> values;
    const void* traceProvider = nullptr;
    std::array<std::uint8_t, 16> traceActivity{};
    bool hasTraceActivity = false;
};

struct CClient
{
    std::weak_ptr<CProcess> process;
};

struct CBus
{
};

struct CLibraryState
{
    CHandleTable<CParameters> parameters;
    CHandleTable<CProcess> processes;
    CHandleTable<CClient> clients;
    CHandleTable<CWebServer> servers;
    CHandleTable<CBus> buses;
    CStringPool texts;
};

CLibraryState& State();
} // namespace velmar::reflib
