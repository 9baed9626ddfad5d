// Every registry value the configuration reads, stored with random types and sizes in the test
// prefix's registry: loading and reloading give the value, or the defined fallback of a value that
// cannot be read, and nothing else.
#include "config/Config.h"
#include "config/ConfigInstance.h"

#include "../config/RegistryTestSupport.h"
#include "FuzzReport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>

#include <winternl.h>

namespace
{

constexpr int kRoundsPerSeed = 300;
const std::wstring kInstanceId = L"ROOT#MEDIA#0000";
const std::wstring kInstancePath = std::wstring(testreg::kInstancesPath) + L"\\" + kInstanceId;
const wchar_t* const kGlobalNames[] = {L"SSLCertificate", L"SSLPrivate", L"AdminPassword"};

struct RawValue
{
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes;
};

std::string Describe(const RawValue& value)
{
    return value.present ? "type " + std::to_string(value.type) + ", " + std::to_string(value.bytes.size()) +
                               " bytes \"" + fuzz::Visible(value.bytes.substr(0, 48)) + "\""
                         : "absent";
}

// A random value: every string and number type and some the program never writes, of sizes 0, 1,
// odd, even, without a terminator, with embedded NULs, and up to about 70 KB.
RawValue RandomValue(std::mt19937& rng)
{
    static const DWORD kTypes[] = {REG_SZ,    REG_SZ,    REG_SZ,    REG_EXPAND_SZ,        REG_MULTI_SZ,
                                   REG_DWORD, REG_DWORD, REG_QWORD, REG_DWORD_BIG_ENDIAN, REG_BINARY,
                                   REG_NONE,  REG_LINK,  0x7fff0001};
    static const wchar_t* const kPieces[] = {L"Studio", L"\u00e9", L"%SystemRoot%", L"%", L"\\", L"8080"};
    RawValue value;
    value.present = rng() % 10 != 0;
    value.type = kTypes[rng() % std::size(kTypes)];
    std::wstring text;
    for (std::size_t n = rng() % 5; n > 0; --n)
    {
        text += rng() % 5 == 0 ? std::wstring(1, L'\0') : kPieces[rng() % std::size(kPieces)];
    }
    if (rng() % 2 == 0)
    {
        text += L'\0';
    }
    value.bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    switch (rng() % 6)
    {
    case 0:
        value.bytes.resize(rng() % 9); // 0 to 8 bytes: every DWORD and QWORD size and its neighbours
        break;
    case 1:
        value.bytes.resize(value.bytes.size() | 1); // odd
        break;
    case 2:
        value.bytes.assign(rng() % 2 == 0 ? 4001 : 70000, 'A');
        break;
    default:
        break;
    }
    return value;
}

// Stores exactly the bytes (ntdll adds no terminator), or deletes the value.
void Store(const std::wstring& path, const std::wstring& name, const RawValue& value)
{
    using NtSetValueKeyFn = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
    static const auto setValue = reinterpret_cast<NtSetValueKeyFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    platform::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                key.put(), nullptr),
              ERROR_SUCCESS);
    if (!value.present)
    {
        ::RegDeleteValueW(key.get(), name.c_str());
        return;
    }
    UNICODE_STRING valueName{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                             static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                             const_cast<wchar_t*>(name.c_str())};
    std::string data = value.bytes;
    ASSERT_NE(setValue, nullptr);
    ASSERT_EQ(setValue(key.get(), &valueName, 0, value.type, data.data(), static_cast<ULONG>(data.size())),
              0);
}

// What a string read must give: nothing unless the value is a REG_SZ, else the text the system hands
// out for it with ample room (its one terminator dropped).
std::optional<std::wstring> ReadableString(const std::wstring& path, const std::wstring& name,
                                           const RawValue& value)
{
    if (!value.present || value.type != REG_SZ)
    {
        return std::nullopt;
    }
    std::wstring buffer(1 << 17, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                             buffer.data(), &size),
              ERROR_SUCCESS);
    buffer.resize(size / sizeof(wchar_t));
    if (!buffer.empty() && buffer.back() == L'\0')
    {
        buffer.pop_back();
    }
    return buffer;
}

// A DWORD read gives a value only for a REG_DWORD of exactly four bytes.
std::optional<DWORD> ReadableDword(const RawValue& value)
{
    if (!value.present || value.type != REG_DWORD || value.bytes.size() != sizeof(DWORD))
    {
        return std::nullopt;
    }
    DWORD number = 0;
    std::memcpy(&number, value.bytes.data(), sizeof(number));
    return number;
}

struct InstanceValues
{
    std::wstring name;
    std::wstring password;
    DWORD httpPort = 0;
    DWORD httpsPort = 0;
};

// Name, AdminPassword (absent is fine), HttpPort, HttpsPort in order: the first that cannot be read
// leaves itself and every later value at its default.
InstanceValues ExpectedInstance(const RawValue values[4])
{
    InstanceValues expected;
    const auto name = ReadableString(kInstancePath, L"Name", values[0]);
    if (!name)
    {
        return expected;
    }
    expected.name = *name;
    if (values[1].present)
    {
        const auto password = ReadableString(kInstancePath, L"AdminPassword", values[1]);
        if (!password)
        {
            return expected;
        }
        expected.password = *password;
    }
    const auto http = ReadableDword(values[2]);
    if (!http)
    {
        return expected;
    }
    expected.httpPort = *http;
    expected.httpsPort = ReadableDword(values[3]).value_or(0);
    return expected;
}

class RegistryFuzz : public testing::Test
{
protected:
    void SetUp() override { testreg::DeleteProductKey(); }
    void TearDown() override { testreg::DeleteProductKey(); }

    // Writes random globals and instance values; returns the expected globals given the held ones,
    // and in `instance` the raw instance values.
    GlobalParameters WriteRandom(std::mt19937& rng, const GlobalParameters& held, RawValue instance[4],
                                 std::string& log)
    {
        GlobalParameters expected = held;
        std::wstring* fields[] = {&expected.SSLCertificate, &expected.SSLPrivate, &expected.AdminPassword};
        for (std::size_t i = 0; i < 3; ++i)
        {
            const RawValue value = RandomValue(rng);
            Store(testreg::kParametersPath, kGlobalNames[i], value);
            log += " global " + std::to_string(i) + ": " + Describe(value) + ";";
            const auto text = ReadableString(testreg::kParametersPath, kGlobalNames[i], value);
            m_globals[i] = text ? std::optional<RawValue>() : value;
            if (text)
            {
                *fields[i] = *text;
            }
        }
        const wchar_t* const names[] = {L"Name", L"AdminPassword", L"HttpPort", L"HttpsPort"};
        for (std::size_t i = 0; i < 4; ++i)
        {
            instance[i] = RandomValue(rng);
            Store(kInstancePath, names[i], instance[i]);
            log += " instance " + std::to_string(i) + ": " + Describe(instance[i]) + ";";
        }
        return expected;
    }

    // The raw value of each global that cannot be read (none when it can).
    std::optional<RawValue> m_globals[3];
};

void ExpectInstance(const CConfigInstance& record, const InstanceValues& expected)
{
    EXPECT_EQ(record.Name(), expected.name);
    EXPECT_EQ(record.AdminPassword(), expected.password);
    EXPECT_EQ(record.HttpPort(), expected.httpPort);
    EXPECT_EQ(record.HttpsPort(), expected.httpsPort);
    EXPECT_NO_THROW(record.GetAdminPassword());
}

TEST_F(RegistryFuzz, LoadAndReloadGiveTheValueOrTheDefinedFallback)
{
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int round = 0; round < kRoundsPerSeed; ++round)
        {
            std::string log;
            testreg::DeleteProductKey();
            RawValue instance[4];
            const GlobalParameters loaded = WriteRandom(rng, GlobalParameters{}, instance, log);
            const InstanceValues first = ExpectedInstance(instance);

            CConfig config;
            config.LoadGlobalParameters();
            EXPECT_EQ(config.Globals(), loaded);
            // A global that could not be read is written back as REG_SZ with the value held (empty).
            for (std::size_t i = 0; i < 3; ++i)
            {
                const testreg::StoredValue stored = testreg::Query(testreg::kParametersPath, kGlobalNames[i]);
                EXPECT_TRUE(stored.exists);
                if (m_globals[i])
                {
                    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ)) << kGlobalNames[i];
                    EXPECT_EQ(stored.size, 2u) << kGlobalNames[i]; // the terminator alone
                }
            }
            const auto record = config.GetOrCreateInstance(kInstanceId);
            ASSERT_NE(record, nullptr);
            ExpectInstance(*record, first);

            log += " | reload:";
            const GlobalParameters reloaded = WriteRandom(rng, loaded, instance, log);
            const InstanceValues second = ExpectedInstance(instance);
            EXPECT_EQ(config.ReloadGlobalParameters(), reloaded != loaded);
            EXPECT_EQ(config.Globals(), reloaded);
            // A reload writes nothing: an unreadable global stays as it was stored.
            for (std::size_t i = 0; i < 3; ++i)
            {
                const testreg::StoredValue stored = testreg::Query(testreg::kParametersPath, kGlobalNames[i]);
                if (m_globals[i])
                {
                    EXPECT_EQ(stored.exists, m_globals[i]->present) << kGlobalNames[i];
                    EXPECT_EQ(stored.size, stored.exists ? m_globals[i]->bytes.size() : 0u)
                        << kGlobalNames[i];
                }
            }

            ConfigChange changes = ConfigChange::None;
            if (first.httpPort != second.httpPort || first.httpsPort != second.httpsPort)
            {
                changes |= ConfigChange::PortsChanged;
            }
            if (first.name != second.name)
            {
                changes |= ConfigChange::NameChanged;
            }
            if (first.password != second.password)
            {
                changes |= ConfigChange::AdminPasswordChanged;
            }
            EXPECT_EQ(static_cast<std::uint32_t>(record->Reload()), static_cast<std::uint32_t>(changes));
            ExpectInstance(*record, second);

            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, round) << ":" << log;
            }
        }
    }
}

} // namespace
