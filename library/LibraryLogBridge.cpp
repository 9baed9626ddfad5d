#include "library/LibraryLogBridge.h"

#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/TextConversion.h"

namespace velmar
{

LibraryLogSink& LibraryLogSinkSlot() noexcept
{
    static LibraryLogSink sink;
    return sink;
}

void VELMAR_CALL LibraryLogCallback(std::int32_t severity, const char* text) noexcept
{
    // This runs inside the library's C frames: nothing may be thrown back into them. A report that
    // cannot be delivered (no bridge installed, out of memory, a failing appender) is dropped; there is
    // no log to tell it to.
    CatchAtBoundary(
        [&]
        {
            const LibraryLogSink& sink = LibraryLogSinkSlot();
            if (sink)
            {
                sink(static_cast<LogSeverity>(severity), text != nullptr ? std::string(text) : std::string());
            }
        });
}

void BridgeLibraryLog(LogSeverity severity, const std::string& text)
{
    const int value = static_cast<int>(severity);
    if (value < static_cast<int>(LogSeverity::None) || value > static_cast<int>(LogSeverity::Verb5))
    {
        return;
    }
    // Converted only when the logger lets the record through.
    VLOG(severity) << Utf8ToWide(text);
}

std::int32_t LibraryLogSeverityFromLogger() noexcept
{
    const plog::Logger<0>* logger = plog::get<0>();
    if (logger != nullptr)
    {
        const int maxSeverity = static_cast<int>(logger->getMaxSeverity());
        if (maxSeverity >= static_cast<int>(LogSeverity::Fatal) &&
            maxSeverity <= static_cast<int>(LogSeverity::Debug))
        {
            return maxSeverity;
        }
    }
    return static_cast<std::int32_t>(LogSeverity::Info);
}

} // namespace velmar

void InstallLibraryLogBridge(velmar::helper::CDynLoader& loader)
{
    velmar::LibraryLogSinkSlot() = &velmar::BridgeLibraryLog;
    // Both are mandatory entry points; they are null only when the load failed.
    if (loader.SetLoggerCallback != nullptr)
    {
        loader.SetLoggerCallback(&velmar::LibraryLogCallback);
    }
    if (loader.SetLogSeverity != nullptr)
    {
        loader.SetLogSeverity(velmar::LibraryLogSeverityFromLogger());
    }
}
