#pragma once
// TraceLogging event metadata: 16-bit total size, a zero tag byte, the event name and NUL, then per field
// its name, NUL and its input type.
#include <cstddef>
#include <cstdint>

enum class TraceFields
{
    None,        // no fields
    Name,        // "inst_name"
    NameCounter, // "inst_name", "counter"
};

inline constexpr std::uint8_t kTlgInUnicodeString = 1; // NUL-terminated UTF-16
inline constexpr std::uint8_t kTlgInInt64 = 9;

inline constexpr std::size_t kTraceMetadataCapacity = 256;

// Writes the metadata of an event into out (kTraceMetadataCapacity bytes) and returns its size, or 0
// when the name is too long to fit.
std::size_t BuildTraceMetadata(unsigned char* out, const char* eventName, TraceFields fields) noexcept;
