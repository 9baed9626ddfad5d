#include "EnvelopeWriter.h"

#include "config/Crc32.h"
#include "config/CredentialKey.h"

#include <stdexcept>
#include <vector>

#include <windows.h>
#include <bcrypt.h>

std::string Base64Encode(std::string_view bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3)
    {
        const std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16 |
                                static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                                static_cast<std::uint8_t>(bytes[i + 2]);
        text += alphabet[(v >> 18) & 63];
        text += alphabet[(v >> 12) & 63];
        text += alphabet[(v >> 6) & 63];
        text += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1)
    {
        const std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        text += alphabet[(v >> 18) & 63];
        text += alphabet[(v >> 12) & 63];
        text += "==";
    }
    else if (rest == 2)
    {
        const std::uint32_t v =
            static_cast<std::uint8_t>(bytes[i]) << 16 | static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        text += alphabet[(v >> 18) & 63];
        text += alphabet[(v >> 12) & 63];
        text += alphabet[(v >> 6) & 63];
        text += '=';
    }
    return text;
}

std::string EncryptForTest(std::string_view plaintext)
{
    if (plaintext.size() % 16 != 0)
    {
        throw std::invalid_argument("test: plaintext must fill whole blocks");
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    std::vector<UCHAR> keyBytes(credential::kKey.begin(), credential::kKey.end());
    std::vector<UCHAR> iv(credential::kIv.begin(), credential::kIv.end());
    std::vector<UCHAR> input(plaintext.begin(), plaintext.end());
    std::vector<UCHAR> output(input.size());
    ULONG written = 0;
    bool ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0));
    ok = ok && BCRYPT_SUCCESS(
                   BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                     sizeof(BCRYPT_CHAIN_MODE_CBC), 0));
    ok = ok && BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(algorithm, &key, nullptr, 0, keyBytes.data(),
                                                         static_cast<ULONG>(keyBytes.size()), 0));
    ok = ok && BCRYPT_SUCCESS(BCryptEncrypt(key, input.data(), static_cast<ULONG>(input.size()), nullptr,
                                            iv.data(), static_cast<ULONG>(iv.size()), output.data(),
                                            static_cast<ULONG>(output.size()), &written, 0));
    if (key != nullptr)
    {
        BCryptDestroyKey(key);
    }
    if (algorithm != nullptr)
    {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (!ok || written != output.size())
    {
        throw std::runtime_error("test: encryption failed");
    }
    return std::string(output.begin(), output.end());
}

std::string MakePlaintext(std::string_view data, const EnvelopeOptions& options)
{
    const std::uint32_t crc = Crc32(data) ^ options.crcXor;
    const std::uint16_t length = options.declaredLength.value_or(static_cast<std::uint16_t>(data.size()));
    std::string plain;
    for (int i = 0; i < 4; ++i)
    {
        plain += static_cast<char>((crc >> (8 * i)) & 0xFF);
    }
    plain += static_cast<char>(length & 0xFF);
    plain += static_cast<char>(length >> 8);
    plain += data;
    while (plain.size() % 16 != 0 || plain.size() < options.minPlaintext)
    {
        plain += options.fill;
    }
    return plain;
}

std::string MakeEnvelope(std::string_view data, const EnvelopeOptions& options)
{
    return Base64Encode(EncryptForTest(MakePlaintext(data, options)));
}

std::wstring MakeEnvelopeW(std::string_view data, const EnvelopeOptions& options)
{
    const std::string text = MakeEnvelope(data, options);
    return std::wstring(text.begin(), text.end());
}
