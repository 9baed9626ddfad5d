#pragma once
#include <cstdint>
#include <string_view>

// CRC-32 of the ISO-HDLC kind (zlib, Ethernet): reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement.
std::uint32_t Crc32(std::string_view bytes) noexcept;
