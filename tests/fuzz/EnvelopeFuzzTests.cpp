// Random texts and mutated valid envelopes through the stored-value decoder, checked against a model
// of the envelope that shares only the cipher with the decoder. Each input ends where a no-access
// page begins, so a read past its end faults.
#include "config/AesCbcDecrypt.h"
#include "config/Crc32.h"
#include "config/StoredValue.h"

#include "../config/EnvelopeWriter.h"
#include "FuzzReport.h"
#include "GuardedBuffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include <windows.h>

namespace
{

constexpr int kInputsPerSeed = 3000;
constexpr std::size_t kTooLargeText = 87384; // decodes to exactly 64 KiB

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c)
{
    const char* const at = std::char_traits<char>::find(kAlphabet, 64, c);
    return at == nullptr ? -1 : static_cast<int>(at - kAlphabet);
}

std::uint32_t Le(const std::string& bytes, std::size_t offset, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// Standard Base64 up to the first byte outside the alphabet, left-over bits dropped.
std::string ModelBase64Decode(const std::string& text)
{
    std::string bytes;
    unsigned bits = 0;
    std::uint32_t accumulator = 0;
    for (const char c : text)
    {
        const int value = Sextet(c);
        if (value < 0)
        {
            break;
        }
        accumulator = (accumulator << 6 | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8)
        {
            bits -= 8;
            bytes += static_cast<char>(accumulator >> bits);
        }
    }
    return bytes;
}

// What the decoder must answer: at most 64 KiB - 1 of ciphertext in whole blocks, then
// [CRC-32][length][data] whose CRC matches.
DecryptedValue Expected(const std::string& text)
{
    const std::string cipher = ModelBase64Decode(text);
    if (cipher.size() >= 65536)
    {
        return {stored_value::kTooLarge, {}};
    }
    if (cipher.empty())
    {
        return {text.empty() ? stored_value::kDecoded : stored_value::kInvalid, {}};
    }
    std::string plain;
    if (cipher.size() % 16 != 0)
    {
        return {stored_value::kInvalid, {}};
    }
    if (!AesCbcDecrypt(cipher, plain))
    {
        return {stored_value::kCryptoFailed, {}};
    }
    const std::size_t length = Le(plain, 4, 2);
    if (6 + length > plain.size() || Crc32(plain.substr(6, length)) != Le(plain, 0, 4))
    {
        return {stored_value::kInvalid, {}};
    }
    return {stored_value::kDecoded, plain.substr(6, length)};
}

std::string RandomBytes(std::mt19937& rng, std::size_t length)
{
    std::string bytes(length, '\0');
    for (char& c : bytes)
    {
        c = static_cast<char>(rng());
    }
    return bytes;
}

std::string ValidEnvelope(std::mt19937& rng, std::string& password)
{
    password = RandomBytes(rng, rng() % 8 == 0 ? rng() % 400 : rng() % 24);
    EnvelopeOptions options;
    options.minPlaintext = rng() % 3 == 0 ? rng() % 80 : 0;
    options.fill = static_cast<char>(rng());
    return MakeEnvelope(password, options);
}

// One to three of: a bit flip in the ciphertext or in the text, whole blocks cut off or appended,
// truncation or extension of the text, a changed padding, a stray byte inside.
std::string Mutate(std::mt19937& rng, std::string text)
{
    for (std::size_t n = 1 + rng() % 3; n > 0; --n)
    {
        std::string cipher = ModelBase64Decode(text);
        switch (rng() % 10)
        {
        case 0:
        case 1:
            // CBC garbles the flipped block and flips the same bit of the next one.
            if (!cipher.empty())
            {
                cipher[rng() % cipher.size()] ^= static_cast<char>(1u << (rng() % 8));
                text = Base64Encode(cipher);
            }
            break;
        case 2:
            cipher.resize(cipher.size() >= 16 ? cipher.size() - 16 * (1 + rng() % (cipher.size() / 16)) : 0);
            text = Base64Encode(cipher);
            break;
        case 3:
            text = Base64Encode(cipher + RandomBytes(rng, 16 * (1 + rng() % 2)));
            break;
        case 4:
            if (!text.empty())
            {
                text[rng() % text.size()] ^= static_cast<char>(1u << (rng() % 8));
            }
            break;
        case 5:
            text.resize(text.empty() ? 0 : rng() % text.size());
            break;
        case 6:
            while (!text.empty() && text.back() == '=')
            {
                text.pop_back();
            }
            text += std::string(rng() % 3, '=') + (rng() % 2 == 0 ? "\r\n" : "");
            break;
        case 7:
            text.insert(rng() % (text.size() + 1), 1, "=\n .-_!\0"[rng() % 8]);
            break;
        case 8:
            text += Base64Encode(RandomBytes(rng, 1 + rng() % 20));
            break;
        default:
            text += RandomBytes(rng, 1 + rng() % 8);
            break;
        }
    }
    return text;
}

// Random texts: Base64 characters of every length near a block boundary, or any bytes.
std::string RandomText(std::mt19937& rng)
{
    if (rng() % 2 == 0)
    {
        return RandomBytes(rng, rng() % 64);
    }
    const std::size_t blocks = rng() % 6;
    std::string text(blocks * 64 / 3 + rng() % 5, 'A');
    for (char& c : text)
    {
        c = kAlphabet[rng() % 64];
    }
    return text;
}

DecryptedValue ExpectDecodesAsModelled(const std::string& text, CGuardedBuffer& buffer)
{
    const char* const placed = buffer.Place(text.data(), text.size());
    const DecryptedValue result = DecryptStoredValue(std::string_view(placed, text.size()));
    const DecryptedValue expected = Expected(text);
    EXPECT_TRUE(result.code == stored_value::kDecoded || result.code == stored_value::kInvalid ||
                result.code == stored_value::kTooLarge)
        << result.code;
    EXPECT_EQ(result.code, expected.code);
    EXPECT_EQ(result.data, expected.data);
    return result;
}

TEST(EnvelopeFuzz, InputsEndAtANoAccessPage)
{
    CGuardedBuffer buffer(100);
    const char* const placed = buffer.Place("abc", 3);
    MEMORY_BASIC_INFORMATION after{};
    ASSERT_NE(::VirtualQuery(placed + 3, &after, sizeof(after)), 0u);
    EXPECT_EQ(after.Protect, static_cast<DWORD>(PAGE_NOACCESS));
    EXPECT_EQ(std::string(placed, 3), "abc");
}

TEST(EnvelopeFuzz, RandomTextsGiveOnlyTheDefinedCodes)
{
    CGuardedBuffer buffer(kTooLargeText + 16);
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kInputsPerSeed; ++i)
        {
            const std::string text = RandomText(rng);
            ExpectDecodesAsModelled(text, buffer);
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", text \"" << fuzz::Visible(text) << "\"";
            }
        }
    }
    // The size limit, at it and just below it (whole blocks).
    ExpectDecodesAsModelled(std::string(kTooLargeText, 'Q'), buffer);
    ExpectDecodesAsModelled(std::string(65520 * 4 / 3, 'Q'), buffer);
}

TEST(EnvelopeFuzz, MutatedEnvelopesDecodeOnlyWhenTheirBlockStaysValid)
{
    CGuardedBuffer buffer(4096);
    int samePassword = 0;
    int otherPassword = 0;
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kInputsPerSeed; ++i)
        {
            std::string password;
            const std::string envelope = ValidEnvelope(rng, password);
            const std::string text = Mutate(rng, envelope);
            const DecryptedValue result = ExpectDecodesAsModelled(text, buffer);
            if (result.code == stored_value::kDecoded && text != envelope && !text.empty())
            {
                // A changed envelope decodes only when the blocks holding the header and the data
                // came through intact (CBC: a block depends on itself and the one before), or when
                // a change happened to keep the CRC; the model above checks which.
                (result.data == password ? samePassword : otherPassword) += 1;
            }
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", envelope \"" << envelope << "\" mutated to \""
                       << fuzz::Visible(text) << "\"";
            }
        }
    }
    std::printf("mutated envelopes decoded: %d to the same password, %d to another\n", samePassword,
                otherPassword);
}

} // namespace
