#include "config/StoredValue.h"

#include "config/AesCbcDecrypt.h"
#include "config/Base64.h"
#include "config/Crc32.h"

namespace
{

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kBlockSize = 16;
constexpr std::size_t kMaxCiphertext = 65536;

std::uint32_t ReadLe(const std::string& bytes, std::size_t offset, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

} // namespace

DecryptedValue DecryptStoredValue(std::string_view stored)
{
    using namespace stored_value;
    const std::string ciphertext = Base64Decode(stored);
    if (ciphertext.size() >= kMaxCiphertext)
    {
        return {kTooLarge, {}};
    }
    if (ciphertext.empty())
    {
        // Only an empty text is an empty envelope. A text that yields no Base64 data at all (one
        // starting with "!", say) was typed in by hand and must not turn into an empty password.
        return {stored.empty() ? kDecoded : kInvalid, {}};
    }
    if (ciphertext.size() % kBlockSize != 0 || ciphertext.size() < kHeaderSize)
    {
        return {kInvalid, {}};
    }

    std::string plaintext;
    if (!AesCbcDecrypt(ciphertext, plaintext))
    {
        return {kCryptoFailed, {}};
    }
    if (plaintext.size() < kHeaderSize)
    {
        return {kInvalid, {}};
    }

    const std::uint32_t crc = ReadLe(plaintext, 0, 4);
    const std::size_t length = ReadLe(plaintext, 4, 2);
    if (length + kHeaderSize > ciphertext.size() || length + kHeaderSize > plaintext.size())
    {
        return {kInvalid, {}};
    }
    std::string data = plaintext.substr(kHeaderSize, length);
    if (Crc32(data) != crc)
    {
        return {kInvalid, {}};
    }
    return {kDecoded, std::move(data)};
}
