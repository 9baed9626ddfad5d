#include "driver/Devices.h"

#include <gtest/gtest.h>

namespace
{

bool Exported(const wchar_t* module, const char* name)
{
    HMODULE handle = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return handle != nullptr && GetProcAddress(handle, name) != nullptr;
}

// Where the system lacks the notification functions, the table reports "not implemented" instead of
// taking the process down.
TEST(DeviceApiWindowsTest, MissingNotificationFunctionsReportNotImplemented)
{
    if (Exported(L"cfgmgr32.dll", "CM_Register_Notification"))
    {
        GTEST_SKIP() << "this system has the configuration manager's notifications";
    }
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    HCMNOTIFICATION notification = nullptr;
    EXPECT_EQ(driver::Devices().CM_Register_Notification(&filter, nullptr, nullptr, &notification),
              static_cast<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(notification, nullptr);
    if (!Exported(L"cfgmgr32.dll", "CM_Unregister_Notification"))
    {
        EXPECT_EQ(driver::Devices().CM_Unregister_Notification(nullptr),
                  static_cast<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED));
    }
}

TEST(DeviceApiWindowsTest, EveryEntryIsSet)
{
    const auto& api = driver::Devices();
    const auto* entries = reinterpret_cast<void* const*>(&api);
    for (std::size_t i = 0; i < sizeof(api) / sizeof(void*); ++i)
    {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
}

} // namespace
