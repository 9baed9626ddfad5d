#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Result codes of DecryptStoredValue.
namespace stored_value
{
inline constexpr std::int32_t kDecoded = 0;
inline constexpr std::int32_t kInvalid = -1;
inline constexpr std::int32_t kTooLarge = -2;
inline constexpr std::int32_t kCryptoFailed = -4;
} // namespace stored_value

struct DecryptedValue
{
    std::int32_t code = stored_value::kInvalid;
    std::string data; // the password bytes (UTF-8) when code is kDecoded, empty otherwise
};

// Decodes a stored envelope: Base64 of AES-256-CBC over [CRC-32 LE][length LE16][data][fill].
// 0 decoded, -1 not an envelope, -2 ciphertext of 64 KiB or more, -4 the provider failed.
// Never throws for bad data.
DecryptedValue DecryptStoredValue(std::string_view stored);
