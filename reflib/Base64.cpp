#include "reflib/Base64.h"

#include <cstdint>

namespace velmar::reflib
{
namespace
{

int ValueOf(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
} // namespace

std::optional<std::string> DecodeBase64(std::string_view text)
{
    if (text.size() % 4 != 0)
    {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4)
    {
        const bool last = i + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int j = 0; j < 4; ++j)
        {
            const char c = text[i + j];
            if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '='))
            {
                values[j] = 0;
                ++padding;
                continue;
            }
            if (padding != 0 || (values[j] = ValueOf(c)) < 0)
            {
                return std::nullopt;
            }
        }
        const std::uint32_t group =
            (static_cast<std::uint32_t>(values[0]) << 18) | (static_cast<std::uint32_t>(values[1]) << 12) |
            (static_cast<std::uint32_t>(values[2]) << 6) | static_cast<std::uint32_t>(values[3]);
        bytes.push_back(static_cast<char>((group >> 16) & 0xFF));
        if (padding < 2)
            bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (padding < 1)
            bytes.push_back(static_cast<char>(group & 0xFF));
    }
    return bytes;
}
} // namespace velmar::reflib
