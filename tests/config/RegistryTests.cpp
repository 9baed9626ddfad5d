#include "config/Config.h"
#include "config/ProductKey.h"
#include "config/Registry.h"
#include "platform/UniqueHandle.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>
#include <string>

namespace
{

const std::wstring kTestPath = std::wstring(testreg::kProductPath) + L"\\test";

// Runs the call and returns the RegistryError it throws (fails the test when it does not throw).
template <typename Fn> RegistryError ErrorOf(Fn&& call)
{
    try
    {
        call();
    }
    catch (const RegistryError& error)
    {
        return error;
    }
    ADD_FAILURE() << "no RegistryError thrown";
    return RegistryError("", 0);
}

// The DACL of a key as read back from the registry, in SDDL.
std::wstring DaclOf(const std::wstring& path)
{
    platform::UniqueKey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, key.put()), ERROR_SUCCESS);
    DWORD size = 0;
    RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    EXPECT_EQ(RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size),
              ERROR_SUCCESS);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
    {
        return L"unreadable";
    }
    const std::wstring result(text);
    LocalFree(text);
    return result;
}

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testreg::DeleteProductKey();
        testreg::CreateKey(kTestPath);
    }
    void TearDown() override { testreg::DeleteProductKey(); }

    static CRegistry TestKey() { return CRegistry::Create(HKEY_LOCAL_MACHINE, kTestPath); }
};

TEST_F(RegistryTest, OpenOfMissingKeyThrowsWithTheStatus)
{
    const RegistryError error =
        ErrorOf([] { CRegistry::Open(HKEY_LOCAL_MACHINE, kTestPath + L"\\missing"); });
    EXPECT_STREQ(error.what(), "Cannot open from registry.");
    EXPECT_EQ(error.code(), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CreateMakesMissingIntermediateKeysAndOpenIsReadOnly)
{
    const CRegistry created = CRegistry::Create(HKEY_LOCAL_MACHINE, kTestPath + L"\\a\\b\\c");
    EXPECT_TRUE(created.IsOpen());
    EXPECT_TRUE(testreg::KeyExists(kTestPath + L"\\a\\b\\c"));
    created.WriteString(L"v", L"x");

    const CRegistry parent = CRegistry::Open(HKEY_LOCAL_MACHINE, kTestPath + L"\\a");
    const CRegistry child = CRegistry::Open(parent, L"b\\c");
    EXPECT_EQ(child.ReadString(L"v"), L"x");
    // Opened for reading only: a write is refused by the system.
    const RegistryError error = ErrorOf([&] { child.WriteString(L"v", L"y"); });
    EXPECT_STREQ(error.what(), "Cannot write String to registry.");
    EXPECT_EQ(error.code(), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, ReadStringMissingValueAndOptionalAbsence)
{
    const CRegistry key = TestKey();
    const RegistryError error = ErrorOf([&] { key.ReadString(L"missing"); });
    EXPECT_STREQ(error.what(), "Cannot read string from registry");
    EXPECT_EQ(error.code(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.ReadOptionalString(L"missing").has_value());
}

// RegGetValueW as the documentation states it: the string it hands out is always terminated, so a
// value stored without a terminator needs a buffer two bytes larger than its data (Wine fills a buffer
// of exactly the data's size without one).
LSTATUS WINAPI TerminatingGetValue(HKEY key, LPCWSTR subkey, LPCWSTR name, DWORD flags, LPDWORD type,
                                   PVOID data, LPDWORD size)
{
    DWORD stored = 0;
    DWORD storedType = 0;
    if (data != nullptr && size != nullptr &&
        ::RegQueryValueExW(key, name, nullptr, &storedType, nullptr, &stored) == ERROR_SUCCESS &&
        storedType == REG_SZ)
    {
        std::wstring raw(stored / sizeof(wchar_t) + 1, L'\0');
        DWORD read = stored;
        ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(raw.data()), &read);
        const bool terminated = stored >= sizeof(wchar_t) && raw[stored / sizeof(wchar_t) - 1] == L'\0';
        const DWORD needed = terminated ? stored : stored + static_cast<DWORD>(sizeof(wchar_t));
        if (*size < needed)
        {
            *size = needed;
            return ERROR_MORE_DATA;
        }
    }
    return ::RegGetValueW(key, subkey, name, flags, type, data, size);
}

TEST_F(RegistryTest, ReadStringWithAndWithoutTerminator)
{
    CApiOverride terminating(platform::Api().RegGetValueW, &TerminatingGetValue);
    testreg::SetRawString(kTestPath, L"raw", L"abcdef");
    ASSERT_EQ(testreg::Query(kTestPath, L"raw").size, 12u);
    testreg::SetString(kTestPath, L"terminated", L"abc");
    testreg::SetRawString(kTestPath, L"rawEmpty", L"");
    testreg::SetString(kTestPath, L"empty", L"");

    const CRegistry key = TestKey();
    EXPECT_EQ(key.ReadString(L"raw"), L"abcdef");
    EXPECT_EQ(key.ReadString(L"terminated"), L"abc");
    EXPECT_EQ(key.ReadString(L"rawEmpty"), L"");
    EXPECT_EQ(key.ReadString(L"empty"), L"");
    EXPECT_EQ(key.ReadOptionalString(L"raw"), std::optional<std::wstring>(L"abcdef"));
}

TEST_F(RegistryTest, ReadsOfTheWrongTypeFailWithTheTypeError)
{
    testreg::SetString(kTestPath, L"text", L"12");
    testreg::SetDword(kTestPath, L"number", 4242);
    const CRegistry key = TestKey();

    EXPECT_EQ(key.ReadDword(L"number"), 4242u);
    const RegistryError dword = ErrorOf([&] { key.ReadDword(L"text"); });
    EXPECT_STREQ(dword.what(), "Cannot read DWORD from registry.");
    EXPECT_EQ(dword.code(), ERROR_UNSUPPORTED_TYPE);

    const RegistryError optional = ErrorOf([&] { key.ReadOptionalString(L"number"); });
    EXPECT_STREQ(optional.what(), "Cannot found string from registry");
    EXPECT_EQ(optional.code(), ERROR_UNSUPPORTED_TYPE);
}

DWORD g_writtenBytes = 0;
DWORD g_writtenType = 0;
LSTATUS WINAPI RecordingSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD size)
{
    g_writtenBytes = size;
    g_writtenType = type;
    return ::RegSetValueExW(key, name, reserved, type, data, size);
}

TEST_F(RegistryTest, WriteStringPassesTheTerminator)
{
    const CRegistry key = TestKey();
    {
        CApiOverride guard(platform::Api().RegSetValueExW, &RecordingSetValue);
        key.WriteString(L"v", std::wstring_view(L"abcdef", 3));
    }
    EXPECT_EQ(g_writtenBytes, 8u);
    EXPECT_EQ(g_writtenType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(testreg::Query(kTestPath, L"v").bytes, std::wstring(L"abc", 4));

    key.WriteString(L"e", L"");
    const testreg::StoredValue empty = testreg::Query(kTestPath, L"e");
    EXPECT_EQ(empty.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(empty.size, 2u);
}

TEST_F(RegistryTest, EnumerateSubKeys)
{
    EXPECT_TRUE(TestKey().EnumerateSubKeys().empty());

    testreg::CreateKey(kTestPath + L"\\x");
    testreg::CreateKey(kTestPath + L"\\a much longer name");
    testreg::CreateKey(kTestPath + L"\\mid#name");
    testreg::CreateKey(kTestPath + L"\\mid#name\\grandchild");
    std::vector<std::wstring> names = TestKey().EnumerateSubKeys();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a much longer name", L"mid#name", L"x"}));
}

TEST_F(RegistryTest, DeleteSubKeyOnlyDeletesLeaves)
{
    testreg::CreateKey(kTestPath + L"\\leaf");
    testreg::CreateKey(kTestPath + L"\\branch\\leaf");
    const CRegistry key = TestKey();
    key.DeleteSubKey(L"leaf");
    EXPECT_FALSE(testreg::KeyExists(kTestPath + L"\\leaf"));

    const RegistryError error = ErrorOf([&] { key.DeleteSubKey(L"branch"); });
    EXPECT_STREQ(error.what(), "Cannot delete key from the registry");
    EXPECT_NE(error.code(), 0);
    EXPECT_TRUE(testreg::KeyExists(kTestPath + L"\\branch\\leaf"));

    EXPECT_EQ(ErrorOf([&] { key.DeleteSubKey(L"missing"); }).code(), ERROR_FILE_NOT_FOUND);
}

int g_openCalls = 0;
LSTATUS WINAPI CountingOpen(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)
{
    ++g_openCalls;
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI CountingCreate(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                              LPDWORD)
{
    ++g_openCalls;
    return ERROR_ACCESS_DENIED;
}

TEST_F(RegistryTest, EmptyWrapperMakesNoOpenCallAndFailsReadsWithInvalidHandle)
{
    g_openCalls = 0;
    const CRegistry empty;
    CRegistry opened;
    CRegistry created;
    {
        CApiOverride open(platform::Api().RegOpenKeyExW, &CountingOpen);
        CApiOverride create(platform::Api().RegCreateKeyExW, &CountingCreate);
        opened = CRegistry::Open(empty, L"anything");
        created = CRegistry::Create(empty, L"anything");
    }
    EXPECT_EQ(g_openCalls, 0);
    EXPECT_FALSE(opened.IsOpen());
    EXPECT_FALSE(created.IsOpen());

    const RegistryError read = ErrorOf([&] { empty.ReadString(L"v"); });
    EXPECT_STREQ(read.what(), "Cannot read string from registry");
    EXPECT_EQ(read.code(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ErrorOf([&] { empty.ReadDword(L"v"); }).code(), ERROR_INVALID_HANDLE);
    const RegistryError optional = ErrorOf([&] { empty.ReadOptionalString(L"v"); });
    EXPECT_STREQ(optional.what(), "Cannot found string from registry");
    EXPECT_EQ(optional.code(), ERROR_INVALID_HANDLE);
    const RegistryError enumerate = ErrorOf([&] { empty.EnumerateSubKeys(); });
    EXPECT_STREQ(enumerate.what(), "Cannot query key info from the registry");
    EXPECT_EQ(enumerate.code(), ERROR_INVALID_HANDLE);
    CEvent event;
    const RegistryError watch = ErrorOf([&] { empty.Watch(event); });
    EXPECT_STREQ(watch.what(), "Cannot watch the registry");
    EXPECT_EQ(watch.code(), ERROR_INVALID_HANDLE);
}

int g_closeCalls = 0;
LSTATUS WINAPI CountingClose(HKEY key)
{
    ++g_closeCalls;
    return ::RegCloseKey(key);
}

TEST_F(RegistryTest, MovingTransfersTheHandleWhichIsClosedOnce)
{
    g_closeCalls = 0;
    CApiOverride guard(platform::Api().RegCloseKey, &CountingClose);
    {
        CRegistry first = TestKey();
        const HKEY handle = first.Handle();
        CRegistry second(std::move(first));
        EXPECT_FALSE(first.IsOpen());
        EXPECT_EQ(second.Handle(), handle);
        CRegistry third;
        third = std::move(second);
        EXPECT_FALSE(second.IsOpen());
        EXPECT_EQ(third.Handle(), handle);
        // Assigning over an open key closes it.
        third = TestKey();
        EXPECT_EQ(g_closeCalls, 1);
    }
    EXPECT_EQ(g_closeCalls, 2);
}

TEST_F(RegistryTest, WatchIgnoresDeepChangesAndFiresForDirectOnes)
{
    testreg::CreateKey(kTestPath + L"\\child\\grandchild");
    const CRegistry key = TestKey();
    CEvent event;

    key.Watch(event);
    testreg::SetString(kTestPath + L"\\child\\grandchild", L"deep", L"1");
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 300), static_cast<DWORD>(WAIT_TIMEOUT));

    testreg::SetString(kTestPath, L"direct", L"1");
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 10000), WAIT_OBJECT_0);

    ResetEvent(event.Handle());
    key.Watch(event);
    testreg::CreateKey(kTestPath + L"\\newchild");
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 10000), WAIT_OBJECT_0);
}

} // namespace

TEST_F(RegistryTest, ProductKeyIsProtectedWhenCreatedAndWhenAskedToBe)
{
    const std::wstring inherited = L"D:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)";
    testreg::DeleteProductKey();
    {
        const CConfig config; // the first processing start creates it
    }
    EXPECT_EQ(DaclOf(testreg::kProductPath), kProductKeySecurity);
    // Its new subkeys inherit that on Windows; Wine gives every new key its default security, so
    // what lies below is checked after the installation's pass below, which sets it explicitly.

    // A key an older version left with the default security keeps it on an ordinary start, and is
    // protected, with what lies below it, by the installation.
    testreg::DeleteProductKey();
    testreg::CreateKey(testreg::kParametersPath);
    const std::wstring before = DaclOf(testreg::kProductPath);
    ASSERT_NE(before, kProductKeySecurity);
    EXPECT_TRUE(CreateProductKey().IsOpen());
    EXPECT_EQ(DaclOf(testreg::kProductPath), before);
    EXPECT_TRUE(CreateProductKey(ExistingProductKey::Protect).IsOpen());
    EXPECT_EQ(DaclOf(testreg::kProductPath), kProductKeySecurity);
    EXPECT_EQ(DaclOf(testreg::kParametersPath), inherited);
}
