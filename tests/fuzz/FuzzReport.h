#pragma once
// What every fuzz test shares: fixed seeds, so each run replays the same inputs, and a readable form
// of an input for the failure message (with the seed and iteration that made it).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace fuzz
{

inline constexpr std::uint32_t kSeeds[] = {1u, 20261209u, 0xC0FFEEu};

// Printable ASCII as it is, everything else as \xNN (bytes) or \uNNNN (wide characters).
inline std::string Visible(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes)
    {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && b != '\\')
        {
            text += c;
        }
        else
        {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", b);
            text += hex;
        }
    }
    return text;
}

inline std::string Visible(std::wstring_view wide)
{
    std::string text;
    for (const wchar_t c : wide)
    {
        if (c >= 0x20 && c < 0x7f && c != L'\\')
        {
            text += static_cast<char>(c);
        }
        else
        {
            char hex[10];
            std::snprintf(hex, sizeof(hex), "\\u%04x", static_cast<unsigned>(c));
            text += hex;
        }
    }
    return text;
}

inline std::string Where(std::uint32_t seed, int iteration)
{
    return "seed " + std::to_string(seed) + " iteration " + std::to_string(iteration);
}

} // namespace fuzz
