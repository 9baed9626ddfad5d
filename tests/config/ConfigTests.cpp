#include "config/Config.h"
#include "config/InstanceId.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

const std::wstring kParameters = testreg::kParametersPath;
const std::wstring kInstances = testreg::kInstancesPath;

class ConfigTest : public ::testing::Test
{
protected:
    void SetUp() override { testreg::DeleteProductKey(); }
    void TearDown() override { testreg::DeleteProductKey(); }

    static std::wstring InstancePath(const std::wstring& id) { return kInstances + L"\\" + id; }
    static void WriteCompleteInstance(const std::wstring& id)
    {
        testreg::SetString(InstancePath(id), L"Name", L"Studio");
        testreg::SetString(InstancePath(id), L"AdminPassword", L"envelope");
        testreg::SetDword(InstancePath(id), L"HttpPort", 8080);
        testreg::SetDword(InstancePath(id), L"HttpsPort", 8443);
    }
};

std::vector<std::wstring> g_createdKeys;
std::vector<REGSAM> g_createAccess;
LSTATUS g_failCreateOf = ERROR_SUCCESS;
std::wstring g_failCreateName;
LSTATUS WINAPI RecordingCreate(HKEY parent, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                               LPDWORD disposition)
{
    g_createdKeys.push_back(subkey);
    g_createAccess.push_back(access);
    if (g_failCreateOf != ERROR_SUCCESS && g_failCreateName == subkey)
    {
        return g_failCreateOf;
    }
    return ::RegCreateKeyExW(parent, subkey, reserved, cls, options, access, security, result, disposition);
}

struct CreateSpy
{
    CreateSpy(LSTATUS failWith = ERROR_SUCCESS, std::wstring failName = {})
    {
        g_createdKeys.clear();
        g_createAccess.clear();
        g_failCreateOf = failWith;
        g_failCreateName = std::move(failName);
    }
    ~CreateSpy() { g_failCreateOf = ERROR_SUCCESS; }
    CApiOverride<decltype(platform::SystemApi::RegCreateKeyExW)> guard{platform::Api().RegCreateKeyExW,
                                                                       &RecordingCreate};
};

TEST_F(ConfigTest, ConstructionCreatesTheFourKeysInOrderWithWriteAccess)
{
    CreateSpy spy;
    const CConfig config;
    EXPECT_EQ(g_createdKeys, (std::vector<std::wstring>{L"SOFTWARE\\VELMAR", L"ORVANE.CL.drv", L"instances",
                                                        L"parameters"}));
    for (const REGSAM access : g_createAccess)
    {
        EXPECT_EQ(access, static_cast<REGSAM>(0x2001F));
    }
    EXPECT_TRUE(testreg::KeyExists(kParameters));
    EXPECT_TRUE(testreg::KeyExists(kInstances));
    EXPECT_TRUE(config.ParametersKey().IsOpen());
    EXPECT_TRUE(config.InstancesKey().IsOpen());
    EXPECT_EQ(config.ProductKey(), L"ORVANE.CL.drv");
}

TEST_F(ConfigTest, LoadGlobalParametersFillsAnEmptyKeyWithThreeEmptyValues)
{
    CConfig config;
    config.LoadGlobalParameters();
    for (const wchar_t* name : {L"SSLCertificate", L"SSLPrivate", L"AdminPassword"})
    {
        const testreg::StoredValue value = testreg::Query(kParameters, name);
        EXPECT_TRUE(value.exists) << name;
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << name;
        EXPECT_EQ(value.size, 2u) << name;
    }
    EXPECT_EQ(config.Globals(), GlobalParameters{});
}

TEST_F(ConfigTest, LoadGlobalParametersKeepsPresentValuesAndReplacesUnreadableOnes)
{
    testreg::SetString(kParameters, L"SSLCertificate", L"C:\\certs\\server.crt");
    testreg::SetDword(kParameters, L"SSLPrivate", 7); // wrong type: overwritten as an empty string
    testreg::SetString(kParameters, L"AdminPassword", L"stored");
    CConfig config;
    config.LoadGlobalParameters();
    EXPECT_EQ(config.SSLCertificate(), L"C:\\certs\\server.crt");
    EXPECT_EQ(config.SSLPrivate(), L"");
    EXPECT_EQ(config.AdminPassword(), L"stored");
    const testreg::StoredValue replaced = testreg::Query(kParameters, L"SSLPrivate");
    EXPECT_EQ(replaced.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(replaced.size, 2u);
}

LSTATUS WINAPI FailingSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(ConfigTest, LoadGlobalParametersStopsAtAFailedWrite)
{
    testreg::SetString(kParameters, L"SSLCertificate", L"cert");
    testreg::SetString(kParameters, L"AdminPassword", L"later");
    CConfig config;
    CApiOverride guard(platform::Api().RegSetValueExW, &FailingSetValue);
    try
    {
        config.LoadGlobalParameters();
        FAIL() << "no exception";
    }
    catch (const RegistryError& error)
    {
        EXPECT_STREQ(error.what(), "Cannot write String to registry.");
        EXPECT_EQ(error.code(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(config.SSLCertificate(), L"cert");
    EXPECT_EQ(config.AdminPassword(), L""); // after the failed write nothing more is read
}

TEST_F(ConfigTest, ReloadGlobalParametersKeepsDeletedValuesAndReportsChanges)
{
    testreg::SetString(kParameters, L"SSLCertificate", L"cert");
    testreg::SetString(kParameters, L"SSLPrivate", L"key");
    testreg::SetString(kParameters, L"AdminPassword", L"pw1");
    CConfig config;
    config.LoadGlobalParameters();

    EXPECT_FALSE(config.ReloadGlobalParameters());

    testreg::DeleteValue(kParameters, L"SSLPrivate");
    EXPECT_FALSE(config.ReloadGlobalParameters());
    EXPECT_EQ(config.SSLPrivate(), L"key");
    EXPECT_FALSE(testreg::Query(kParameters, L"SSLPrivate").exists);

    testreg::SetString(kParameters, L"AdminPassword", L"pw2");
    EXPECT_TRUE(config.ReloadGlobalParameters());
    EXPECT_EQ(config.AdminPassword(), L"pw2");
    EXPECT_EQ(config.SSLCertificate(), L"cert");
    EXPECT_FALSE(config.ReloadGlobalParameters());
}

TEST_F(ConfigTest, GlobalPasswordReadsAreNeverTornWhileReloading)
{
    const std::wstring first(4000, L'a');
    const std::wstring second(3000, L'b');
    testreg::SetString(kParameters, L"AdminPassword", first);
    CConfig config;
    config.LoadGlobalParameters();

    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    std::thread reader(
        [&]
        {
            while (!done.load())
            {
                const std::wstring value = config.AdminPassword();
                if (value != first && value != second)
                {
                    ++bad;
                }
                ++reads;
            }
        });
    for (int i = 0; i < 1000; ++i)
    {
        testreg::SetString(kParameters, L"AdminPassword", (i % 2 == 0) ? second : first);
        EXPECT_TRUE(config.ReloadGlobalParameters());
    }
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST_F(ConfigTest, GetOrCreateInstanceCreatesAnEmptyKeyAndKeepsOneRecordPerId)
{
    CConfig config;
    const auto record = config.GetOrCreateInstance(L"ROOT#MEDIA#0000");
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(testreg::KeyExists(InstancePath(L"ROOT#MEDIA#0000")));
    EXPECT_EQ(record->InstanceId(), L"ROOT#MEDIA#0000");
    EXPECT_EQ(record->Name(), L"");
    EXPECT_EQ(record->HttpPort(), 0u);
    EXPECT_EQ(&record->Owner(), &config);

    EXPECT_EQ(config.GetOrCreateInstance(L"ROOT#MEDIA#0000"), record);
    const auto other = config.GetOrCreateInstance(L"ROOT#MEDIA#0001");
    EXPECT_NE(other, record);
    EXPECT_EQ(config.Instances(), (std::vector<std::shared_ptr<CConfigInstance>>{record, other}));

    config.EraseInstance(L"ROOT#MEDIA#0000");
    EXPECT_EQ(config.Instances(), (std::vector<std::shared_ptr<CConfigInstance>>{other}));
    EXPECT_EQ(record->InstanceId(), L"ROOT#MEDIA#0000"); // still alive for its holder
    EXPECT_NE(config.GetOrCreateInstance(L"ROOT#MEDIA#0000"), record);
}

TEST_F(ConfigTest, GetOrCreateInstanceGivesNothingWhenTheKeyCannotBeCreated)
{
    CConfig config;
    CreateSpy spy(ERROR_ACCESS_DENIED, L"ROOT#MEDIA#0007");
    EXPECT_EQ(config.GetOrCreateInstance(L"ROOT#MEDIA#0007"), nullptr);
    EXPECT_TRUE(config.Instances().empty());
}

TEST_F(ConfigTest, ReloadReadsAllValuesAndReportsWhatChanged)
{
    WriteCompleteInstance(L"dev");
    CConfig config;
    const auto record = config.GetOrCreateInstance(L"dev");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->Name(), L"Studio");
    EXPECT_EQ(record->AdminPassword(), L"envelope");
    EXPECT_EQ(record->HttpPort(), 8080u);
    EXPECT_EQ(record->HttpsPort(), 8443u);
    EXPECT_TRUE(record->Key().IsOpen());

    EXPECT_EQ(record->Reload(), ConfigChange::None);

    testreg::SetDword(InstancePath(L"dev"), L"HttpsPort", 9443);
    EXPECT_EQ(record->Reload(), ConfigChange::PortsChanged);
    EXPECT_EQ(record->HttpsPort(), 9443u);

    testreg::SetString(InstancePath(L"dev"), L"Name", L"Stage");
    testreg::SetString(InstancePath(L"dev"), L"AdminPassword", L"other");
    const ConfigChange both = record->Reload();
    EXPECT_EQ(static_cast<std::uint32_t>(both), 12u);
    EXPECT_TRUE(HasChange(both, ConfigChange::NameChanged));
    EXPECT_FALSE(HasChange(both, ConfigChange::PortsChanged));

    // Only a difference in length counts too.
    testreg::SetString(InstancePath(L"dev"), L"Name", L"Stage ");
    EXPECT_EQ(record->Reload(), ConfigChange::NameChanged);
}

TEST_F(ConfigTest, MissingNameResetsEveryLaterValue)
{
    WriteCompleteInstance(L"dev");
    CConfig config;
    const auto record = config.GetOrCreateInstance(L"dev");
    testreg::DeleteValue(InstancePath(L"dev"), L"Name");
    EXPECT_EQ(static_cast<std::uint32_t>(record->Reload()), 2u | 4u | 8u);
    EXPECT_EQ(record->Name(), L"");
    EXPECT_EQ(record->AdminPassword(), L"");
    EXPECT_EQ(record->HttpPort(), 0u);
    EXPECT_EQ(record->HttpsPort(), 0u);
}

TEST_F(ConfigTest, MissingOptionalPasswordGoesOnButAWrongTypeEndsTheReading)
{
    testreg::SetString(InstancePath(L"dev"), L"Name", L"Studio");
    testreg::SetDword(InstancePath(L"dev"), L"HttpPort", 80);
    testreg::SetDword(InstancePath(L"dev"), L"HttpsPort", 443);
    CConfig config;
    const auto record = config.GetOrCreateInstance(L"dev");
    EXPECT_EQ(record->AdminPassword(), L"");
    EXPECT_EQ(record->HttpPort(), 80u);
    EXPECT_EQ(record->HttpsPort(), 443u);

    // A password of the wrong type fails its presence test: the ports are not read.
    testreg::SetDword(InstancePath(L"dev"), L"AdminPassword", 1);
    EXPECT_EQ(record->Reload(), ConfigChange::PortsChanged);
    EXPECT_EQ(record->Name(), L"Studio");
    EXPECT_EQ(record->HttpPort(), 0u);
}

TEST_F(ConfigTest, HttpPortStoredAsTextLeavesBothPortsAtZero)
{
    testreg::SetString(InstancePath(L"dev"), L"Name", L"Studio");
    testreg::SetString(InstancePath(L"dev"), L"AdminPassword", L"pw");
    testreg::SetString(InstancePath(L"dev"), L"HttpPort", L"8080");
    testreg::SetDword(InstancePath(L"dev"), L"HttpsPort", 8443);
    CConfig config;
    const auto record = config.GetOrCreateInstance(L"dev");
    EXPECT_EQ(record->Name(), L"Studio");
    EXPECT_EQ(record->AdminPassword(), L"pw");
    EXPECT_EQ(record->HttpPort(), 0u);
    EXPECT_EQ(record->HttpsPort(), 0u);
}

TEST_F(ConfigTest, ReloadOpensTheKeyLaterWhenItAppears)
{
    CConfig config;
    CConfigInstance record(config, L"late");
    EXPECT_FALSE(record.Key().IsOpen());
    WriteCompleteInstance(L"late");
    EXPECT_EQ(static_cast<std::uint32_t>(record.Reload()), 14u);
    EXPECT_TRUE(record.Key().IsOpen());
    EXPECT_EQ(record.Name(), L"Studio");
}

TEST(InstanceIdFromPathTest, Derivation)
{
    EXPECT_EQ(InstanceIdFromPath(L"\\\\?\\ROOT#MEDIA#0000#{19e108d8-935a-460c-9f52-cdc7c63292e1}\\control"),
              L"ROOT#MEDIA#0000");
    // The last "#{" marks the class GUID.
    EXPECT_EQ(InstanceIdFromPath(L"\\\\?\\A#{x}#B#{guid}"), L"A#{x}#B");
    // Without "#{": everything after the prefix, backslashes replaced.
    EXPECT_EQ(InstanceIdFromPath(L"\\\\?\\ROOT\\MEDIA\\0001"), L"ROOT#MEDIA#0001");
    // A bare instance id is not a path: its first four characters are dropped too.
    EXPECT_EQ(InstanceIdFromPath(L"A\\B\\C"), L"C");
    // Four characters or less: only the replacement.
    EXPECT_EQ(InstanceIdFromPath(L"a\\b"), L"a#b");
    EXPECT_EQ(InstanceIdFromPath(L"\\\\?\\"), L"##?#");
    EXPECT_EQ(InstanceIdFromPath(L""), L"");
    EXPECT_EQ(InstanceIdFromPath(L"\\\\?\\#{guid}"), L"");
}

} // namespace
