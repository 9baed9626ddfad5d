#include "config/Base64.h"

#include <cstdint>

namespace
{

int AlphabetValue(unsigned char c) noexcept
{
    if (c >= 'A' && c <= 'Z')
    {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z')
    {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9')
    {
        return c - '0' + 52;
    }
    if (c == '+')
    {
        return 62;
    }
    if (c == '/')
    {
        return 63;
    }
    return -1;
}

} // namespace

std::string Base64Decode(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t accumulator = 0;
    int bits = -8;
    for (const char c : text)
    {
        const int value = AlphabetValue(static_cast<unsigned char>(c));
        if (value < 0)
        {
            break;
        }
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 0)
        {
            bytes.push_back(static_cast<char>((accumulator >> bits) & 0xFFU));
            bits -= 8;
        }
    }
    return bytes;
}
