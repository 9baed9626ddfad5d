#include "library/LibraryLogBridge.h"

#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/TextConversion.h"

namespace velmar
{

std::atomic<LibraryLogSink>& LibraryLogSinkSlot() noexcept
{
    static constinit std::atomic<LibraryLogSink> sink{nullptr};
    return sink;
}

void VELMAR_CALL LibraryLogCallback(std::int32_t severity, const char* text) noexcept
{
    // This runs inside the library's C frames: nothing may be thrown back into them. A report that
    // cannot be delivered (no bridge installed, out of memory, a failing appender) is dropped; there is
    // no log to tell it to.
    platform::CatchAtBoundary(
        [&]
        {
            const LibraryLogSink sink = LibraryLogSinkSlot().load(std::memory_order_acquire);
            if (sink != nullptr)
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
    VLOG(severity) << Utf8ToWide(EscapeLibraryText(text));
}

std::string EscapeLibraryText(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        switch (c)
        {
        case '\\':
            escaped += "\\\\";
            break;
        case '\r':
            escaped += "\\r";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F)
            {
                escaped += "\\x";
                escaped.push_back(kHex[byte >> 4]);
                escaped.push_back(kHex[byte & 0x0F]);
            }
            else
            {
                escaped.push_back(c);
            }
        }
    }
    return escaped;
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
    velmar::LibraryLogSinkSlot().store(&velmar::BridgeLibraryLog, std::memory_order_release);
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
