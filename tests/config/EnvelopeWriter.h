#pragma once
// Writes stored-password envelopes the way the tools that fill the registry do: Base64 of
// AES-256-CBC (credential key and IV) over [CRC-32 LE][length LE16][data][fill to 16].
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct EnvelopeOptions
{
    std::optional<std::uint16_t> declaredLength; // default: the data length
    std::uint32_t crcXor = 0;                    // flips bits of the stored CRC
    std::size_t minPlaintext = 0;                // pad the plaintext to at least this many bytes
    char fill = '\x5a';
};

std::string Base64Encode(std::string_view bytes);
// AES-256-CBC with the credential key and IV, no padding; the input must be a multiple of 16.
std::string EncryptForTest(std::string_view plaintext);
std::string MakePlaintext(std::string_view data, const EnvelopeOptions& options = {});
std::string MakeEnvelope(std::string_view data, const EnvelopeOptions& options = {});
std::wstring MakeEnvelopeW(std::string_view data, const EnvelopeOptions& options = {});
