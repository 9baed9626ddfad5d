#include "reflib/LibraryLog.h"

#include <atomic>

namespace velmar::reflib
{
namespace
{
std::atomic<VelmarLogCallback> g_callback{nullptr};
std::atomic<std::int32_t> g_maxSeverity{static_cast<std::int32_t>(Severity::Info)};
} // namespace

void SetLogCallback(VelmarLogCallback callback)
{
    g_callback.store(callback);
}

void SetLogMaxSeverity(std::int32_t maxSeverity)
{
    g_maxSeverity.store(maxSeverity);
}

bool IsLogEnabled(Severity severity)
{
    return g_callback.load() != nullptr && static_cast<std::int32_t>(severity) <= g_maxSeverity.load();
}

void Log(Severity severity, const std::string& text)
{
    const VelmarLogCallback callback = g_callback.load();
    if (callback == nullptr || static_cast<std::int32_t>(severity) > g_maxSeverity.load())
    {
        return;
    }
    try
    {
        callback(static_cast<std::int32_t>(severity), text.c_str());
    }
    catch (...)
    {
        // The host's sink failed; there is nowhere left to report that, and a log line must never end
        // the library's own threads or the caller's request.
    }
}
} // namespace velmar::reflib
