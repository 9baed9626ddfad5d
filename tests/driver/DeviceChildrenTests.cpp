#include "ApiOverride.h"
#include "LogCapture.h"
#include "driver/DeviceChildren.h"
#include "driver/Devices.h"
#include "platform/SystemError.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

constexpr GUID kClass{0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};
const std::wstring kLink = L"\\\\?\\ROOT#MEDIA#0002#{19e108d8-935a-460c-9f52-cdc7c63292e1}";
const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0x5e7));

// A device tree with one device whose children the test chooses.
struct FakeTree
{
    static inline FakeTree* current = nullptr;

    bool setValid = true;
    DWORD classDevsError = 0;
    bool enumerates = true;
    DWORD enumError = 0;
    bool propertyFails = false;
    DEVPROPTYPE type = DEVPROP_TYPE_STRING_LIST;
    std::vector<BYTE> value;

    std::wstring askedEnumerator;
    GUID askedClass{};
    DWORD askedFlags = 0;
    DWORD askedMember = 0xffffffff;
    DEVPROPKEY askedKey{};
    DWORD askedBufferSize = 0;
    int destroyed = 0;

    void SetChildren(const std::vector<std::wstring>& children)
    {
        std::vector<wchar_t> list;
        for (const auto& child : children)
        {
            list.insert(list.end(), child.begin(), child.end());
            list.push_back(L'\0');
        }
        list.push_back(L'\0');
        value.resize(list.size() * sizeof(wchar_t));
        std::memcpy(value.data(), list.data(), value.size());
    }

    static HDEVINFO WINAPI ClassDevs(const GUID* interfaceClass, PCWSTR enumerator, HWND, DWORD flags)
    {
        current->askedClass = *interfaceClass;
        current->askedEnumerator = enumerator != nullptr ? enumerator : L"(none)";
        current->askedFlags = flags;
        if (!current->setValid)
        {
            SetLastError(current->classDevsError);
            return INVALID_HANDLE_VALUE;
        }
        return kSet;
    }
    static BOOL WINAPI Enum(HDEVINFO set, DWORD member, PSP_DEVINFO_DATA device)
    {
        current->askedMember = member;
        if (set != kSet || !current->enumerates || device->cbSize != sizeof(SP_DEVINFO_DATA))
        {
            SetLastError(current->enumError);
            return FALSE;
        }
        return TRUE;
    }
    static BOOL WINAPI Property(HDEVINFO set, PSP_DEVINFO_DATA, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                PBYTE buffer, DWORD size, PDWORD required, DWORD flags)
    {
        current->askedKey = *key;
        current->askedBufferSize = size;
        if (set != kSet || flags != 0 || current->propertyFails)
        {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        *type = current->type;
        if (required != nullptr)
        {
            *required = static_cast<DWORD>(current->value.size());
        }
        if (current->value.size() > size)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(buffer, current->value.data(), current->value.size());
        return TRUE;
    }
    static BOOL WINAPI Destroy(HDEVINFO set)
    {
        current->destroyed += set == kSet ? 1 : 100;
        return TRUE;
    }
};

class DeviceChildrenTest : public testing::Test
{
protected:
    DeviceChildrenTest()
        : m_classDevs(driver::Devices().SetupDiGetClassDevsW, &FakeTree::ClassDevs),
          m_enum(driver::Devices().SetupDiEnumDeviceInfo, &FakeTree::Enum),
          m_property(driver::Devices().SetupDiGetDevicePropertyW, &FakeTree::Property),
          m_destroy(driver::Devices().SetupDiDestroyDeviceInfoList, &FakeTree::Destroy)
    {
        FakeTree::current = &tree;
    }
    ~DeviceChildrenTest() override { FakeTree::current = nullptr; }

    CLogCapture& log = CLogCapture::Fresh();
    FakeTree tree;

private:
    CApiOverride<decltype(driver::DeviceApi::SetupDiGetClassDevsW)> m_classDevs;
    CApiOverride<decltype(driver::DeviceApi::SetupDiEnumDeviceInfo)> m_enum;
    CApiOverride<decltype(driver::DeviceApi::SetupDiGetDevicePropertyW)> m_property;
    CApiOverride<decltype(driver::DeviceApi::SetupDiDestroyDeviceInfoList)> m_destroy;
};

TEST_F(DeviceChildrenTest, ListsTheChildIdsOfTheDeviceBehindTheLink)
{
    tree.SetChildren({L"SWD\\MMDEVAPI\\{0.0.0.00000000}.{aaaa}", L"SWD\\MMDEVAPI\\{0.0.1.00000000}.{bbbb}",
                      L"NoBackslash"});
    const auto children = GetDeviceChildren(kLink, kClass);

    EXPECT_EQ(children,
              (std::vector<std::wstring>{L"SWD\\MMDEVAPI\\{0.0.0.00000000}.{aaaa}",
                                         L"SWD\\MMDEVAPI\\{0.0.1.00000000}.{bbbb}", L"NoBackslash"}));
    EXPECT_EQ(tree.askedEnumerator, L"ROOT\\MEDIA\\0002");
    EXPECT_TRUE(IsEqualGUID(tree.askedClass, kClass));
    EXPECT_EQ(tree.askedFlags, static_cast<DWORD>(DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(tree.askedMember, 0u);
    EXPECT_TRUE(
        IsEqualGUID(tree.askedKey.fmtid,
                    GUID{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}));
    EXPECT_EQ(tree.askedKey.pid, 9u);
    EXPECT_EQ(tree.askedBufferSize, 1024u);
    EXPECT_EQ(tree.destroyed, 1);
    EXPECT_EQ(log.At(velmar::LogSeverity::Verb5),
              (std::vector<std::wstring>{
                  L"Found ID ROOT\\MEDIA\\0002 for " + kLink,
                  L" + Found child SWD\\MMDEVAPI\\{0.0.0.00000000}.{aaaa} for ROOT\\MEDIA\\0002",
                  L" + Found child SWD\\MMDEVAPI\\{0.0.1.00000000}.{bbbb} for ROOT\\MEDIA\\0002",
                  L" + Found child NoBackslash for ROOT\\MEDIA\\0002"}));
    EXPECT_TRUE(log.At(velmar::LogSeverity::Error).empty());
}

TEST_F(DeviceChildrenTest, NoChildrenOrTooManyForTheBufferGiveAnEmptyListSilently)
{
    tree.SetChildren({});
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());

    std::vector<std::wstring> many;
    for (int i = 0; i < 20; ++i)
    {
        many.push_back(L"SWD\\MMDEVAPI\\{0.0.0.00000000}.{" + std::to_wstring(100000 + i) + L"}");
    }
    tree.SetChildren(many);
    ASSERT_GT(tree.value.size(), 1024u);
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());

    tree.propertyFails = true;
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());

    EXPECT_TRUE(log.At(velmar::LogSeverity::Error).empty());
    EXPECT_EQ(tree.destroyed, 3);
}

TEST_F(DeviceChildrenTest, AListWithoutTerminatorsIsReadOnlyAsFarAsTheBuffer)
{
    tree.value.assign(1024, 0);
    for (std::size_t i = 0; i < tree.value.size(); i += 2)
    {
        tree.value[i] = 'A';
    }
    const auto children = GetDeviceChildren(kLink, kClass);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0], std::wstring(512, L'A'));
}

TEST_F(DeviceChildrenTest, AnotherPropertyTypeIsAnError)
{
    tree.SetChildren({L"A\\B"});
    tree.type = DEVPROP_TYPE_STRING;
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{
                  L"SetupDiGetDeviceProperty for PKEY_Device_Children did not return a string list"}));
    EXPECT_EQ(tree.destroyed, 1);
}

TEST_F(DeviceChildrenTest, DeviceTreeFailuresAreLoggedWithTheSystemText)
{
    tree.setValid = false;
    tree.classDevsError = ERROR_ACCESS_DENIED;
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());
    EXPECT_EQ(tree.destroyed, 0);

    tree.setValid = true;
    tree.enumerates = false;
    tree.enumError = ERROR_NO_MORE_ITEMS;
    EXPECT_TRUE(GetDeviceChildren(kLink, kClass).empty());
    EXPECT_EQ(tree.destroyed, 1);

    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{
                  L"SetupDiGetClassDevs failed: " + FormatSystemError(ERROR_ACCESS_DENIED),
                  L"SetupDiEnumDeviceInfo failed: " + FormatSystemError(ERROR_NO_MORE_ITEMS)}));
    EXPECT_FALSE(FormatSystemError(ERROR_ACCESS_DENIED).empty());
}

} // namespace
