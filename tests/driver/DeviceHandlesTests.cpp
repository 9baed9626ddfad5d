#include "driver/DeviceHandles.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

std::vector<void*> g_closed;

BOOL WINAPI RecordDestroyList(HDEVINFO set)
{
    g_closed.push_back(set);
    return FALSE; // a failed close changes nothing for the owner
}
CONFIGRET WINAPI RecordUnregister(HCMNOTIFICATION notification)
{
    g_closed.push_back(notification);
    return CR_FAILURE;
}

TEST(DeviceHandlesTest, CloseThroughTheDeviceTableOnlyWhatTheyHold)
{
    g_closed.clear();
    CApiOverride destroy(driver::Devices().SetupDiDestroyDeviceInfoList, &RecordDestroyList);
    CApiOverride unregister(driver::Devices().CM_Unregister_Notification, &RecordUnregister);
    {
        const driver::UniqueDeviceInfoSet failed(
            INVALID_HANDLE_VALUE); // what a failed SetupDiGetClassDevsW gives
        EXPECT_FALSE(failed);
        const driver::UniqueNotification none;
        driver::UniqueDeviceInfoSet set(reinterpret_cast<HDEVINFO>(0x10));
        const driver::UniqueDeviceInfoSet moved(std::move(set));
        const driver::UniqueNotification notification(reinterpret_cast<HCMNOTIFICATION>(0x20));
    }
    EXPECT_EQ(g_closed, (std::vector<void*>{reinterpret_cast<void*>(0x20), reinterpret_cast<void*>(0x10)}));
}

} // namespace
