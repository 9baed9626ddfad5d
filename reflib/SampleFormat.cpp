#include "reflib/SampleFormat.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace velmar::reflib
{
namespace
{
struct FormatInfo
{
    const char* name;
    std::int32_t bytes;
};

constexpr FormatInfo kFormats[] = {
    {"FLOAT32", 4}, {"PCM16", 2}, {"PCM24", 3}, {"PCM24_32", 4}, {"PCM32", 4}, {"DRIVER32", 4},
};

// Scales a float to an integer code in [minimum, maximum].
std::int32_t ToCode(float value, double scale, double minimum, double maximum)
{
    if (std::isnan(value))
    {
        return 0;
    }
    double code = std::nearbyint(static_cast<double>(value) * scale);
    if (code > maximum)
    {
        code = maximum;
    }
    else if (code < minimum)
    {
        code = minimum;
    }
    return static_cast<std::int32_t>(code);
}

constexpr double kScale16 = 32768.0;
constexpr double kScale24 = 8388608.0;
constexpr double kScale32 = 2147483648.0;
} // namespace

bool IsKnownFormat(std::int32_t format)
{
    return format >= 0 && format < static_cast<std::int32_t>(std::size(kFormats));
}

std::int32_t BytesPerSample(std::int32_t format)
{
    return IsKnownFormat(format) ? kFormats[format].bytes : -1;
}

const char* FormatName(std::int32_t format)
{
    return IsKnownFormat(format) ? kFormats[format].name : nullptr;
}

std::int32_t FormatFromName(const char* name)
{
    if (name == nullptr)
    {
        return -1;
    }
    for (std::int32_t format = 0; format < static_cast<std::int32_t>(std::size(kFormats)); ++format)
    {
        if (std::strcmp(kFormats[format].name, name) == 0)
        {
            return format;
        }
    }
    return -1;
}

float ReadSample(const unsigned char* bytes, std::int32_t format)
{
    switch (format)
    {
    case kFormatFloat32:
    {
        float value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    case kFormatPcm16:
    {
        std::int16_t code;
        std::memcpy(&code, bytes, sizeof code);
        return static_cast<float>(code / kScale16);
    }
    case kFormatPcm24Packed:
    case kFormatPcm24In32:
    {
        const std::uint32_t raw = static_cast<std::uint32_t>(bytes[0]) |
                                  (static_cast<std::uint32_t>(bytes[1]) << 8) |
                                  (static_cast<std::uint32_t>(bytes[2]) << 16);
        const std::int32_t code = (raw & 0x800000u) != 0 ? static_cast<std::int32_t>(raw) - 0x1000000
                                                         : static_cast<std::int32_t>(raw);
        return static_cast<float>(code / kScale24);
    }
    case kFormatPcm32:
    case kFormatDriverBlock:
    {
        std::int32_t code;
        std::memcpy(&code, bytes, sizeof code);
        return static_cast<float>(code / kScale32);
    }
    default:
        return 0.0f;
    }
}

void WriteSample(float value, unsigned char* bytes, std::int32_t format)
{
    switch (format)
    {
    case kFormatFloat32:
        std::memcpy(bytes, &value, sizeof value);
        break;
    case kFormatPcm16:
    {
        const auto code = static_cast<std::int16_t>(ToCode(value, kScale16, -32768.0, 32767.0));
        std::memcpy(bytes, &code, sizeof code);
        break;
    }
    case kFormatPcm24Packed:
    {
        const auto code = static_cast<std::uint32_t>(ToCode(value, kScale24, -8388608.0, 8388607.0));
        bytes[0] = static_cast<unsigned char>(code & 0xFF);
        bytes[1] = static_cast<unsigned char>((code >> 8) & 0xFF);
        bytes[2] = static_cast<unsigned char>((code >> 16) & 0xFF);
        break;
    }
    case kFormatPcm24In32:
    {
        const std::int32_t code = ToCode(value, kScale24, -8388608.0, 8388607.0);
        std::memcpy(bytes, &code, sizeof code);
        break;
    }
    case kFormatPcm32:
    case kFormatDriverBlock:
    {
        const std::int32_t code =
            ToCode(value, kScale32, static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                   static_cast<double>(std::numeric_limits<std::int32_t>::max()));
        std::memcpy(bytes, &code, sizeof code);
        break;
    }
    default:
        break;
    }
}

void ConvertToFloat(const void* source, float* destination, std::size_t count, std::int32_t format)
{
    const auto* bytes = static_cast<const unsigned char*>(source);
    const auto stride = static_cast<std::size_t>(BytesPerSample(format));
    for (std::size_t i = 0; i < count; ++i)
    {
        destination[i] = ReadSample(bytes + i * stride, format);
    }
}

void ConvertFromFloat(const float* source, void* destination, std::size_t count, std::int32_t format)
{
    auto* bytes = static_cast<unsigned char*>(destination);
    const auto stride = static_cast<std::size_t>(BytesPerSample(format));
    for (std::size_t i = 0; i < count; ++i)
    {
        WriteSample(source[i], bytes + i * stride, format);
    }
}
} // namespace velmar::reflib
