// Random byte strings through the JSON escaping, parsed back with nlohmann-json exactly as the
// reference library parses a request (no callback, no exceptions, no comments).
#include "processing/DeviceNaming.h"
#include "processing/JsonText.h"
#include "processing/WebServer.h"
#include "platform/TextConversion.h"

#include "FuzzReport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace
{

constexpr int kStringsPerSeed = 20000;

nlohmann::json ParseAsTheLibrary(const std::string& text)
{
    return nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
}

// The escaping as documented: quote and backslash get a backslash, the five named controls their
// short escapes, every other byte stays as it is.
std::string DocumentedEscape(const std::string& text)
{
    std::string escaped;
    for (const char c : text)
    {
        const char* const named = c == '"'    ? "\\\""
                                  : c == '\\' ? "\\\\"
                                  : c == '\b' ? "\\b"
                                  : c == '\f' ? "\\f"
                                  : c == '\n' ? "\\n"
                                  : c == '\r' ? "\\r"
                                  : c == '\t' ? "\\t"
                                              : nullptr;
        char unicode[8];
        std::snprintf(unicode, sizeof(unicode), "\\u%04x",
                      static_cast<unsigned>(static_cast<unsigned char>(c)));
        escaped += named != nullptr                       ? std::string(named)
                   : static_cast<unsigned char>(c) < 0x20 ? std::string(unicode)
                                                          : std::string(1, c);
    }
    return escaped;
}

// Well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t extra = b < 0x80                   ? 0
                                  : (b >= 0xC2 && b <= 0xDF) ? 1
                                  : (b >= 0xE0 && b <= 0xEF) ? 2
                                  : (b >= 0xF0 && b <= 0xF4) ? 3
                                                             : 4;
        if (extra == 4 || i + extra >= text.size())
        {
            return false;
        }
        std::uint32_t code = extra == 0 ? b : b & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k)
        {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
            {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Bytes of every kind: controls, quote, backslash, slash, ASCII, well-formed sequences of two to four
// bytes, and broken ones (stray continuation, overlong, surrogate, truncated, 0xF5-0xFF). Every other
// string keeps to what JSON can carry, so both halves of the property get their share.
std::string RandomBytes(std::mt19937& rng)
{
    static const char* const kValid[] = {"\"",
                                         "\\",
                                         "/",
                                         "\xc3\xa9",
                                         "\xe4\xb8\xad",
                                         "\xef\xbf\xbf",
                                         "\xf0\x9f\x8e\xb5",
                                         "\xf4\x8f\xbf\xbf",
                                         "\\u0041",
                                         "\x7f"};
    static const char* const kBroken[] = {"\x80",     "\xc0\x80",         "\xed\xa0\x80",
                                          "\xe4\xb8", "\xf5\x80\x80\x80", "\xff"};
    static const char kNamed[] = "\b\f\n\r\t";
    const bool clean = rng() % 2 == 0;
    std::string text;
    for (std::size_t n = rng() % 24; n > 0; --n)
    {
        switch (rng() % 5)
        {
        case 0:
            text += clean ? kNamed[rng() % 5] : static_cast<char>(rng() % 0x20);
            break;
        case 1:
            text += kValid[rng() % std::size(kValid)];
            break;
        case 2:
            if (!clean)
            {
                text += rng() % 2 == 0 ? kBroken[rng() % std::size(kBroken)]
                                       : std::string(1, static_cast<char>(rng()));
            }
            break;
        default:
            text += static_cast<char>(0x20 + rng() % 0x5f);
            break;
        }
    }
    return text;
}

TEST(JsonEscapeFuzz, EscapedTextParsesBackToTheSameBytes)
{
    int rejected = 0;
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kStringsPerSeed; ++i)
        {
            const std::string text = RandomBytes(rng);
            const std::string escaped = JsonEscape(text);
            EXPECT_EQ(escaped, DocumentedEscape(text));

            const nlohmann::json parsed = ParseAsTheLibrary("\"" + escaped + "\"");
            const bool representable = IsUtf8(text); // every control character is escaped
            if (parsed.is_discarded())
            {
                // Only what the escaping copies unchanged and JSON forbids: broken UTF-8.
                EXPECT_FALSE(representable);
                ++rejected;
            }
            else
            {
                EXPECT_TRUE(parsed.is_string());
                EXPECT_EQ(parsed.is_string() ? parsed.get<std::string>() : std::string(), text);
            }
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", bytes \"" << fuzz::Visible(text) << "\"";
            }
        }
    }
    std::printf("escaped strings the parser rejects: %d of %d\n", rejected,
                static_cast<int>(std::size(fuzz::kSeeds)) * kStringsPerSeed);
}

// The requests the host builds from wide text (a device name, a password): what the UTF-8 conversion
// can produce, sent whole.
TEST(JsonEscapeFuzz, RequestsFromWideTextParseBackToTheirText)
{
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kStringsPerSeed / 4; ++i)
        {
            std::wstring text;
            for (std::size_t n = rng() % 16; n > 0; --n)
            {
                static const wchar_t kOdd[] = {L'"',      L'\\',     L'\u00e9', L'\xd800',
                                               L'\xdc00', L'\xfffe', L'\t'};
                text += rng() % 3 == 0 ? kOdd[rng() % std::size(kOdd)]
                                       : static_cast<wchar_t>(0x20 + rng() % 0x5f);
            }
            const std::string utf8 = WideToUtf8(text);
            const nlohmann::json name = ParseAsTheLibrary(ProcessorNameRequest(text));
            const nlohmann::json account = ParseAsTheLibrary(AccountSetupRequest(text, rng() % 2 == 0));
            ASSERT_FALSE(name.is_discarded()) << fuzz::Where(seed, i) << " " << fuzz::Visible(text);
            ASSERT_FALSE(account.is_discarded()) << fuzz::Where(seed, i) << " " << fuzz::Visible(text);
            EXPECT_EQ(name.at("set").at("processorname"), utf8);
            if (!text.empty())
            {
                EXPECT_EQ(account.at("_auth").at("init").at("setup_account").at("secret_clear"), utf8);
            }
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", text \"" << fuzz::Visible(text) << "\"";
            }
        }
    }
}

// A name or password holding any control character (U+0000 to U+001F, NUL included) still makes a
// request the library accepts.
TEST(JsonEscapeFuzz, RequestsWithAnyControlCharacterParse)
{
    for (wchar_t c = 0; c < 0x20; ++c)
    {
        const std::wstring text = std::wstring(L"Mic") + c;
        EXPECT_FALSE(ParseAsTheLibrary(ProcessorNameRequest(text)).is_discarded()) << static_cast<int>(c);
        EXPECT_FALSE(ParseAsTheLibrary(AccountSetupRequest(text, false)).is_discarded())
            << static_cast<int>(c);
    }
}

} // namespace
