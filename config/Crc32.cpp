#include "config/Crc32.h"

#include <array>

namespace
{

constexpr std::array<std::uint32_t, 256> MakeCrcTable() noexcept
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t index = 0; index < 256; ++index)
    {
        std::uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit)
        {
            value = (value & 1U) != 0 ? (value >> 1) ^ 0xEDB88320U : value >> 1;
        }
        table[index] = value;
    }
    return table;
}

// Filled from the polynomial during static initialisation; only read afterwards.
constinit const std::array<std::uint32_t, 256> g_crcTable = MakeCrcTable();

} // namespace

std::uint32_t Crc32(std::string_view bytes) noexcept
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char byte : bytes)
    {
        crc = g_crcTable[(crc ^ static_cast<std::uint8_t>(byte)) & 0xFFU] ^ (crc >> 8);
    }
    return ~crc;
}
