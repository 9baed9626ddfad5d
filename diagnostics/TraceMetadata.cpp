#include "diagnostics/TraceMetadata.h"

#include <cstring>

namespace
{

bool Append(unsigned char* out, std::size_t& size, const void* data, std::size_t length) noexcept
{
    if (length > kTraceMetadataCapacity - size)
    {
        return false;
    }
    std::memcpy(out + size, data, length);
    size += length;
    return true;
}

bool AppendField(unsigned char* out, std::size_t& size, const char* name, std::uint8_t type) noexcept
{
    return Append(out, size, name, std::strlen(name) + 1) && Append(out, size, &type, 1);
}

} // namespace

std::size_t BuildTraceMetadata(unsigned char* out, const char* eventName, TraceFields fields) noexcept
{
    std::size_t size = 2;
    const unsigned char tag = 0;
    bool fits = Append(out, size, &tag, 1) && Append(out, size, eventName, std::strlen(eventName) + 1);
    if (fits && fields != TraceFields::None)
    {
        fits = AppendField(out, size, "inst_name", kTlgInUnicodeString);
    }
    if (fits && fields == TraceFields::NameCounter)
    {
        fits = AppendField(out, size, "counter", kTlgInInt64);
    }
    if (!fits)
    {
        return 0;
    }
    out[0] = static_cast<unsigned char>(size & 0xFF);
    out[1] = static_cast<unsigned char>(size >> 8);
    return size;
}
