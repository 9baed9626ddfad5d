#include "config/Base64.h"
#include "config/Config.h"
#include "config/Crc32.h"
#include "config/StoredValue.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "EnvelopeWriter.h"
#include "LogCapture.h"
#include "RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace
{

constexpr int kVerb5 = 9;
constexpr int kError = 2;

TEST(Base64DecodeTest, DecodesAndStopsOutsideTheAlphabet)
{
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_EQ(Base64Decode("TWFu"), "Man");
    EXPECT_EQ(Base64Decode("TWE="), "Ma");
    EXPECT_EQ(Base64Decode("TWE"), "Ma");
    EXPECT_EQ(Base64Decode("TQ=="), "M");
    EXPECT_EQ(Base64Decode("TWFuTWFu!TWFu"), "ManMan");
    EXPECT_EQ(Base64Decode("TWFu\r\nTWFu"), "Man");
    EXPECT_EQ(Base64Decode("+/+/"), std::string("\xfb\xff\xbf", 3));
    EXPECT_EQ(Base64Decode("T"), ""); // six bits are no byte
}

TEST(Crc32Test, KnownValues)
{
    EXPECT_EQ(Crc32(""), 0u);
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32(std::string(1, '\0')), 0xD202EF8Du);
}

TEST(DecryptStoredValueTest, RoundTripsEnvelopes)
{
    for (const std::string& data :
         {std::string("a"), std::string("0123456789"), std::string("S\xc3\xa9same!"), std::string(300, 'x'),
          std::string("\0\x01\x02", 3)})
    {
        const DecryptedValue result = DecryptStoredValue(MakeEnvelope(data));
        EXPECT_EQ(result.code, 0) << data;
        EXPECT_EQ(result.data, data);
    }
    // An envelope of an empty password.
    const DecryptedValue empty = DecryptStoredValue(MakeEnvelope(""));
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.data, "");
}

// Made without the program's code: the plaintext (CRC-32 0xb5dd5b70 from Python's zlib.crc32, length 15,
// the UTF-8 text, zero fill to 32 bytes) was encrypted with the credential key and IV by
//   openssl enc -aes-256-cbc -K 1516d75c...2d4d -iv 51ff7e3a...0c0f -nopad -base64 -A
TEST(DecryptStoredValueTest, KnownAnswerEnvelope)
{
    const DecryptedValue result = DecryptStoredValue("rq3wZhvFQYN9w+B2Ydr3EnANW+AKBVvEYeGuR41wNvo=");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.data, "Gr\xc3\xbc\xc3\x9f"
                           "e, admin!");
}

TEST(DecryptStoredValueTest, PaddingAndLineBreaksAfterTheDataAreIgnored)
{
    std::string envelope = MakeEnvelope("secret");
    ASSERT_NE(envelope.find('='), std::string::npos);
    const std::string bare = envelope.substr(0, envelope.find('='));
    for (const std::string& text : {bare, envelope, bare + "\r\n", envelope + "\n", bare + "=garbage"})
    {
        const DecryptedValue result = DecryptStoredValue(text);
        EXPECT_EQ(result.code, 0) << text;
        EXPECT_EQ(result.data, "secret");
    }
}

TEST(DecryptStoredValueTest, DeclaredLength)
{
    EnvelopeOptions roomy;
    roomy.minPlaintext = 48;
    const DecryptedValue shorter = DecryptStoredValue(MakeEnvelope("abc", roomy));
    EXPECT_EQ(shorter.code, 0);
    EXPECT_EQ(shorter.data, "abc");

    // Declared length exactly filling the plaintext is still valid.
    const DecryptedValue full = DecryptStoredValue(MakeEnvelope("0123456789"));
    EXPECT_EQ(full.code, 0);
    EXPECT_EQ(full.data, "0123456789");

    EnvelopeOptions tooLong;
    tooLong.declaredLength = 11; // 11 + 6 > 16
    EXPECT_EQ(DecryptStoredValue(MakeEnvelope("abc", tooLong)).code, -1);
    tooLong.declaredLength = 0xFFFF;
    EXPECT_EQ(DecryptStoredValue(MakeEnvelope("abc", tooLong)).code, -1);
}

TEST(DecryptStoredValueTest, InvalidEnvelopes)
{
    EnvelopeOptions badCrc;
    badCrc.crcXor = 1;
    EXPECT_EQ(DecryptStoredValue(MakeEnvelope("secret", badCrc)).code, -1);
    // Whole blocks of something that was never encrypted.
    EXPECT_EQ(DecryptStoredValue(Base64Encode(std::string(32, 'q'))).code, -1);
    // Not a multiple of 16 bytes.
    EXPECT_EQ(DecryptStoredValue("AAAA").code, -1);
    EXPECT_EQ(DecryptStoredValue(Base64Encode(std::string(17, 'q'))).code, -1);
    // Text without any Base64 data is a plain password, not an empty envelope.
    EXPECT_EQ(DecryptStoredValue("!secret").code, -1);
    EXPECT_EQ(DecryptStoredValue("=").code, -1);
    EXPECT_EQ(DecryptStoredValue("").code, 0);
}

TEST(DecryptStoredValueTest, OversizedCiphertext)
{
    EXPECT_EQ(DecryptStoredValue(Base64Encode(std::string(65536, 'A'))).code, -2);
    EXPECT_EQ(DecryptStoredValue(Base64Encode(std::string(65536 + 16, 'A'))).code, -2);
    // The largest allowed size is decrypted (and here fails its CRC).
    EXPECT_EQ(DecryptStoredValue(Base64Encode(std::string(65536 - 16, 'A'))).code, -1);
}

// --- provider failures ---------------------------------------------------------------------------

struct CngCounters
{
    int opened = 0, closed = 0, allocated = 0, freed = 0, keys = 0, keysDestroyed = 0;
};
CngCounters g_cng;
int g_failStep = 0; // 1 open, 2 HeapAlloc, 3 set property, 4 key, 5 first decrypt, 6 second decrypt
int g_decryptCalls = 0;
constexpr NTSTATUS kFailure = static_cast<NTSTATUS>(0xC000000D); // STATUS_INVALID_PARAMETER

NTSTATUS WINAPI SpyOpen(BCRYPT_ALG_HANDLE* handle, LPCWSTR id, LPCWSTR impl, ULONG flags)
{
    if (g_failStep == 1)
    {
        return kFailure;
    }
    const NTSTATUS status = ::BCryptOpenAlgorithmProvider(handle, id, impl, flags);
    g_cng.opened += BCRYPT_SUCCESS(status) ? 1 : 0;
    return status;
}
NTSTATUS WINAPI SpyClose(BCRYPT_ALG_HANDLE handle, ULONG flags)
{
    ++g_cng.closed;
    return ::BCryptCloseAlgorithmProvider(handle, flags);
}
LPVOID WINAPI SpyHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    if (g_failStep == 2)
    {
        return nullptr;
    }
    ++g_cng.allocated;
    return ::HeapAlloc(heap, flags, size);
}
BOOL WINAPI SpyHeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    ++g_cng.freed;
    return ::HeapFree(heap, flags, memory);
}
NTSTATUS WINAPI SpySetProperty(BCRYPT_HANDLE handle, LPCWSTR name, PUCHAR input, ULONG size, ULONG flags)
{
    if (g_failStep == 3)
    {
        return kFailure;
    }
    return ::BCryptSetProperty(handle, name, input, size, flags);
}
NTSTATUS WINAPI SpyKey(BCRYPT_ALG_HANDLE alg, BCRYPT_KEY_HANDLE* key, PUCHAR object, ULONG objectSize,
                       PUCHAR secret, ULONG secretSize, ULONG flags)
{
    if (g_failStep == 4)
    {
        return kFailure;
    }
    const NTSTATUS status =
        ::BCryptGenerateSymmetricKey(alg, key, object, objectSize, secret, secretSize, flags);
    g_cng.keys += BCRYPT_SUCCESS(status) ? 1 : 0;
    return status;
}
NTSTATUS WINAPI SpyDestroyKey(BCRYPT_KEY_HANDLE key)
{
    ++g_cng.keysDestroyed;
    return ::BCryptDestroyKey(key);
}
NTSTATUS WINAPI SpyDecrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, VOID* padding, PUCHAR iv,
                           ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* result, ULONG flags)
{
    ++g_decryptCalls;
    if ((g_failStep == 5 && output == nullptr) || (g_failStep == 6 && output != nullptr))
    {
        return kFailure;
    }
    return ::BCryptDecrypt(key, input, inputSize, padding, iv, ivSize, output, outputSize, result, flags);
}

class CngSpy
{
public:
    explicit CngSpy(int failStep)
    {
        g_cng = {};
        g_failStep = failStep;
        g_decryptCalls = 0;
    }
    ~CngSpy() { g_failStep = 0; }

private:
    platform::SystemApi& api = platform::Api();
    CApiOverride<decltype(api.BCryptOpenAlgorithmProvider)> open{api.BCryptOpenAlgorithmProvider, &SpyOpen};
    CApiOverride<decltype(api.BCryptCloseAlgorithmProvider)> close{api.BCryptCloseAlgorithmProvider,
                                                                   &SpyClose};
    CApiOverride<decltype(api.HeapAlloc)> alloc{api.HeapAlloc, &SpyHeapAlloc};
    CApiOverride<decltype(api.HeapFree)> free{api.HeapFree, &SpyHeapFree};
    CApiOverride<decltype(api.BCryptSetProperty)> property{api.BCryptSetProperty, &SpySetProperty};
    CApiOverride<decltype(api.BCryptGenerateSymmetricKey)> key{api.BCryptGenerateSymmetricKey, &SpyKey};
    CApiOverride<decltype(api.BCryptDestroyKey)> destroy{api.BCryptDestroyKey, &SpyDestroyKey};
    CApiOverride<decltype(api.BCryptDecrypt)> decrypt{api.BCryptDecrypt, &SpyDecrypt};
};

struct StepCase
{
    int step;
    const wchar_t* line;
};

class ProviderFailureTest : public ::testing::TestWithParam<StepCase>
{
};

TEST_P(ProviderFailureTest, LogsTheStepAndReleasesWhatWasObtained)
{
    const std::string envelope = MakeEnvelope("secret");
    CLogCapture::Default().Clear();
    DecryptedValue result;
    {
        CngSpy spy(GetParam().step);
        result = DecryptStoredValue(envelope);
    }
    EXPECT_EQ(result.code, -4);
    EXPECT_EQ(result.data, "");
    const auto lines = CLogCapture::Default().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, kError);
    EXPECT_EQ(lines[0].message, GetParam().line);
    EXPECT_EQ(g_cng.closed, g_cng.opened);
    EXPECT_EQ(g_cng.freed, g_cng.allocated);
    EXPECT_EQ(g_cng.keysDestroyed, g_cng.keys);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ProviderFailureTest,
    ::testing::Values(StepCase{1, L"BCryptOpenAlgorithmProvider failed with error 0xc000000d"},
                      StepCase{2, L"memory allocation failed"},
                      StepCase{3, L"BCryptSetProperty BCRYPT_CHAIN_MODE_CBC failed with error 0xc000000d"},
                      StepCase{4, L"BCryptGenerateSymmetricKey failed with error 0xc000000d"},
                      StepCase{5, L"BCryptDecrypt(1) failed with error 0xc000000d"},
                      StepCase{6, L"BCryptDecrypt(2) failed with error 0xc000000d"}));

TEST(DecryptStoredValueTest, SuccessReleasesEverythingAndLogsNothing)
{
    const std::string envelope = MakeEnvelope("secret");
    CLogCapture::Default().Clear();
    CngSpy spy(0);
    EXPECT_EQ(DecryptStoredValue(envelope).data, "secret");
    EXPECT_EQ(g_cng.opened, 1);
    EXPECT_EQ(g_cng.closed, 1);
    EXPECT_EQ(g_cng.allocated, 1);
    EXPECT_EQ(g_cng.freed, 1);
    EXPECT_EQ(g_cng.keys, 1);
    EXPECT_EQ(g_cng.keysDestroyed, 1);
    EXPECT_EQ(g_decryptCalls, 2);
    EXPECT_TRUE(CLogCapture::Default().Lines().empty());

    // Nothing reaches the provider for data of the wrong size.
    EXPECT_EQ(DecryptStoredValue("AAAA").code, -1);
    EXPECT_EQ(g_cng.opened, 1);
}

// --- randomised decoding ----------------------------------------------------------------------------

TEST(DecryptStoredValueTest, RandomAndMutatedInputsAlwaysEndInAKnownCode)
{
    std::mt19937 random(20240611u);
    const std::string alphabet =
        std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=!\r\n ") +
        std::string("\0\xff", 2);
    std::vector<std::string> seeds;
    for (const char* data : {"", "a", "password", "0123456789", "a longer password of some forty bytes..."})
    {
        seeds.push_back(MakeEnvelope(data));
    }
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };

    int decoded = 0;
    for (int i = 0; i < 3000; ++i)
    {
        std::string input;
        switch (i % 4)
        {
        case 0: // random text over the alphabet and a few outsiders
        {
            const std::size_t length = pick(200);
            for (std::size_t j = 0; j < length; ++j)
            {
                input += alphabet[pick(alphabet.size())];
            }
            break;
        }
        case 1: // whole random blocks: always reach the provider
            input = Base64Encode(
                [&]
                {
                    std::string bytes(16 * (1 + pick(6)), '\0');
                    for (char& b : bytes)
                    {
                        b = static_cast<char>(pick(256));
                    }
                    return bytes;
                }());
            break;
        default: // a valid envelope with one to three characters changed, cut or extended
        {
            input = seeds[pick(seeds.size())];
            const std::size_t edits = 1 + pick(3);
            for (std::size_t e = 0; e < edits && !input.empty(); ++e)
            {
                const std::size_t at = pick(input.size());
                switch (pick(3))
                {
                case 0:
                    input[at] = alphabet[pick(alphabet.size())];
                    break;
                case 1:
                    input.erase(at, 1 + pick(4));
                    break;
                default:
                    input.insert(at, 1 + pick(3), alphabet[pick(64)]);
                    break;
                }
            }
            break;
        }
        }
        const DecryptedValue result = DecryptStoredValue(input);
        ASSERT_TRUE(result.code == 0 || result.code == -1 || result.code == -2)
            << "input " << i << ": " << input;
        if (result.code == 0)
        {
            ++decoded;
            const std::string ciphertext = Base64Decode(input);
            ASSERT_LE(result.data.size() + 6, std::max<std::size_t>(ciphertext.size(), 6));
        }
        else
        {
            ASSERT_TRUE(result.data.empty());
        }
    }
    // Edits that only touch the padding leave valid envelopes behind.
    EXPECT_GT(decoded, 0);
}

// --- the getter -------------------------------------------------------------------------------------

class AdminPasswordTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testreg::DeleteProductKey();
        config = std::make_unique<CConfig>();
        testreg::SetString(kInstance, L"Name", L"Studio");
        CLogCapture::Default().Clear();
    }
    void TearDown() override
    {
        config.reset();
        testreg::DeleteProductKey();
    }

    std::shared_ptr<CConfigInstance> Record(const std::wstring& instancePassword,
                                            const std::wstring& globalPassword = L"")
    {
        testreg::SetString(testreg::kParametersPath, L"AdminPassword", globalPassword);
        config->LoadGlobalParameters();
        if (!instancePassword.empty())
        {
            testreg::SetString(kInstance, L"AdminPassword", instancePassword);
        }
        auto record = config->GetOrCreateInstance(L"dev");
        CLogCapture::Default().Clear();
        return record;
    }

    static std::vector<LogLine> Lines() { return CLogCapture::Default().Lines(); }

    const std::wstring kInstance = std::wstring(testreg::kInstancesPath) + L"\\dev";
    std::unique_ptr<CConfig> config;
};

TEST_F(AdminPasswordTest, NothingStoredDecodesNothing)
{
    const auto record = Record(L"");
    CngSpy spy(0);
    EXPECT_EQ(record->GetAdminPassword(), L"");
    EXPECT_EQ(g_cng.opened, 0);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(AdminPasswordTest, InstanceEnvelopeWinsOverTheGlobalOne)
{
    const auto record = Record(MakeEnvelopeW("S\xc3\xa9same"), MakeEnvelopeW("global"));
    EXPECT_EQ(record->GetAdminPassword(), L"S\u00e9same");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(AdminPasswordTest, GlobalEnvelopeServesAnInstanceWithoutOne)
{
    const auto record = Record(L"", MakeEnvelopeW("global"));
    EXPECT_EQ(record->GetAdminPassword(), L"global");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(AdminPasswordTest, PlainPasswordsComeBackUnchangedAfterOneLine)
{
    for (const std::wstring& plain :
         {std::wstring(L"pass!word"), std::wstring(L"!secret"), std::wstring(L"abcdef")})
    {
        const auto record = Record(plain);
        ASSERT_EQ(record->AdminPassword(), plain);
        EXPECT_EQ(record->GetAdminPassword(), plain);
        const auto lines = Lines();
        ASSERT_EQ(lines.size(), 1u) << plain;
        EXPECT_EQ(lines[0].severity, kVerb5);
        EXPECT_EQ(lines[0].message, L"\"Password\" decrypt failed, return error -1");
        config->EraseInstance(L"dev");
    }
}

TEST_F(AdminPasswordTest, AlteredChecksumGivesTheStoredText)
{
    EnvelopeOptions badCrc;
    badCrc.crcXor = 0x80000000u;
    const std::wstring stored = MakeEnvelopeW("secret", badCrc);
    const auto record = Record(stored);
    EXPECT_EQ(record->GetAdminPassword(), stored);
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0].message, L"\"Password\" decrypt failed, return error -1");
}

TEST_F(AdminPasswordTest, OversizedEnvelopeGivesAnEmptyPassword)
{
    const std::string big = Base64Encode(std::string(65536, 'A'));
    const auto record = Record(std::wstring(big.begin(), big.end()));
    EXPECT_EQ(record->GetAdminPassword(), L"");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].severity, kVerb5);
    EXPECT_EQ(lines[0].message, L"\"Password\" decrypt failed, return error -2");
    EXPECT_EQ(lines[1].severity, kError);
    EXPECT_EQ(lines[1].message, L"Failed to decrypt password");
}

TEST_F(AdminPasswordTest, ProviderFailureGivesAnEmptyPassword)
{
    const auto record = Record(MakeEnvelopeW("secret"));
    CngSpy spy(4);
    EXPECT_EQ(record->GetAdminPassword(), L"");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message, L"BCryptGenerateSymmetricKey failed with error 0xc000000d");
    EXPECT_EQ(lines[1].message, L"\"Password\" decrypt failed, return error -4");
    EXPECT_EQ(lines[2].message, L"Failed to decrypt password");
}

} // namespace
