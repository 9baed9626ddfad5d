// The installation services: package installation, device update, creation and removal.
#include "WorldTestSupport.h"

#include "simulation/DeviceControl.h"
#include "simulation/InstallBehaviour.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

using namespace simulation;
using namespace worldtest;

namespace
{

const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class InstallationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetWorld();
        wchar_t path[MAX_PATH];
        ASSERT_LT(::GetFullPathNameW(L"VirtualAudioOrvane.inf", MAX_PATH, path, nullptr),
                  static_cast<DWORD>(MAX_PATH));
        inf = path;
        ASSERT_NE(::GetFileAttributesW(inf.c_str()), INVALID_FILE_ATTRIBUTES)
            << "the package beside the tests";
    }

    // The device creation steps as the setup command takes them; returns the new instance id.
    std::wstring CreateThroughSetupApi(BOOL* reboot, bool* installed)
    {
        auto& api = driver::Devices();
        GUID cls{};
        wchar_t className[32];
        EXPECT_TRUE(api.SetupDiGetINFClassW(inf.c_str(), &cls, className, 32, nullptr));
        EXPECT_TRUE(IsEqualGUID(cls, kMediaClass));
        EXPECT_STREQ(className, L"MEDIA");
        HDEVINFO set = api.SetupDiCreateDeviceInfoList(&cls, nullptr);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        EXPECT_TRUE(
            api.SetupDiCreateDeviceInfoW(set, className, &cls, nullptr, nullptr, DICD_GENERATE_ID, &device));
        const wchar_t hardwareId[] = L"Root\\VirtualAudioOrvane\0";
        EXPECT_TRUE(api.SetupDiSetDeviceRegistryPropertyW(
            set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareId), sizeof(hardwareId)));
        EXPECT_TRUE(api.SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device));
        *installed = api.DiInstallDevice(nullptr, set, &device, nullptr, 0, reboot) != FALSE;
        wchar_t id[260] = {};
        EXPECT_TRUE(api.SetupDiGetDeviceInstanceIdW(set, &device, id, 260, nullptr));
        EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
        return id;
    }

    // The removal steps of the setup command for one device; returns the install flags after it.
    DWORD RemoveThroughSetupApi(const std::wstring& id, bool* removed, bool withParams = true)
    {
        auto& api = driver::Devices();
        HDEVINFO set = api.SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        DWORD flags = 0xFFFFFFFF;
        *removed = false;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; api.SetupDiEnumDeviceInfo(set, i, &device); ++i)
        {
            wchar_t instance[260];
            EXPECT_TRUE(api.SetupDiGetDeviceInstanceIdW(set, &device, instance, 260, nullptr));
            if (!EqualNoCase(instance, id))
            {
                continue;
            }
            SP_DEVINFO_LIST_DETAIL_DATA_W detail{};
            detail.cbSize = sizeof(detail);
            EXPECT_TRUE(api.SetupDiGetDeviceInfoListDetailW(set, &detail));
            SP_REMOVEDEVICE_PARAMS params{};
            params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
            params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
            params.Scope = DI_REMOVEDEVICE_GLOBAL;
            if (withParams)
            {
                EXPECT_TRUE(api.SetupDiSetClassInstallParamsW(set, &device, &params.ClassInstallHeader,
                                                              sizeof(params)));
            }
            *removed = api.SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
            removeError = *removed ? 0 : ::GetLastError();
            SP_DEVINSTALL_PARAMS_W install{};
            install.cbSize = sizeof(install);
            EXPECT_TRUE(api.SetupDiGetDeviceInstallParamsW(set, &device, &install));
            flags = install.Flags;
        }
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        api.SetupDiDestroyDeviceInfoList(set);
        return flags;
    }

    std::wstring inf;
    DWORD removeError = 0;
};

} // namespace

TEST_F(InstallationTest, PackageInstallationReportsInstalledSameOrNewerAndFailure)
{
    auto& api = driver::Devices();
    BOOL reboot = TRUE;
    EXPECT_TRUE(api.DiInstallDriverW(nullptr, inf.c_str(), 0, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_FALSE(api.DiInstallDriverW(nullptr, inf.c_str(), 0, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    ClearInstallBehaviour();
    SetInstallReboot(L"DiInstallDriverW", true);
    EXPECT_TRUE(api.DiInstallDriverW(nullptr, inf.c_str(), 0, &reboot));
    EXPECT_TRUE(reboot);

    SetInstallFailure(L"DiInstallDriverW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(api.DiInstallDriverW(nullptr, inf.c_str(), DIIRFLAG_FORCE_INF, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetInstallFailure(L"DiInstallDriverW", 0);
    EXPECT_FALSE(api.DiInstallDriverW(nullptr, L"Z:\\no\\such\\package.inf", DIIRFLAG_FORCE_INF, &reboot));
    EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(InstallationTest, DeviceUpdateNeedsADeviceWithTheHardwareId)
{
    auto& api = driver::Devices();
    BOOL reboot = TRUE;
    EXPECT_FALSE(api.UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf.c_str(), 0, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(reboot);
    AddDevice();
    SetInstallReboot(L"UpdateDriverForPlugAndPlayDevicesW", true);
    EXPECT_TRUE(api.UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ROOT\\VIRTUALAUDIOORVANE", inf.c_str(), 0,
                                                       &reboot));
    EXPECT_TRUE(reboot);
    SetInstallFailure(L"UpdateDriverForPlugAndPlayDevicesW", ERROR_GEN_FAILURE);
    EXPECT_FALSE(api.UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf.c_str(), 0, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(InstallationTest, CreatedDevicesGetNewIdsAndTheirInterfaceOnceInstalled)
{
    BOOL reboot = TRUE;
    bool installed = false;
    const std::wstring a = CreateThroughSetupApi(&reboot, &installed);
    EXPECT_TRUE(installed);
    EXPECT_FALSE(reboot);
    EXPECT_EQ(a, L"ROOT\\MEDIA\\0000");
    SetInstallReboot(L"DiInstallDevice", true);
    const std::wstring b = CreateThroughSetupApi(&reboot, &installed);
    EXPECT_EQ(b, L"ROOT\\MEDIA\\0001");
    EXPECT_TRUE(reboot);
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{Listed(a), Listed(b)}));

    // A failed driver installation leaves the registered device without an interface.
    SetInstallFailure(L"DiInstallDevice", ERROR_NO_DRIVER_SELECTED);
    const std::wstring c = CreateThroughSetupApi(&reboot, &installed);
    EXPECT_FALSE(installed);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
    EXPECT_EQ(store::Find(c)->state, DeviceState::Registered);
    EXPECT_EQ(PresentLinks().size(), 2u);
}

TEST_F(InstallationTest, RemovalReportsRestartWhenConfiguredAndFailuresWithTheirCode)
{
    const std::wstring a = AddDevice();
    const std::wstring b = AddDevice();
    bool removed = false;
    // Without the class-install parameters (scope DI_REMOVEDEVICE_GLOBAL) the request is refused.
    RemoveThroughSetupApi(a, &removed, false);
    EXPECT_FALSE(removed);
    EXPECT_EQ(removeError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(PresentLinks().size(), 2u);
    EXPECT_EQ(RemoveThroughSetupApi(a, &removed), 0u);
    EXPECT_TRUE(removed);
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{Listed(b)}));

    SetInstallFailure(L"DIF_REMOVE", ERROR_ACCESS_DENIED);
    RemoveThroughSetupApi(b, &removed);
    EXPECT_FALSE(removed);
    EXPECT_EQ(PresentLinks().size(), 1u);
    SetInstallFailure(L"DIF_REMOVE", 0);
    SetInstallReboot(L"DIF_REMOVE", true);
    EXPECT_EQ(RemoveThroughSetupApi(b, &removed) & DI_NEEDRESTART, static_cast<DWORD>(DI_NEEDRESTART));
    EXPECT_TRUE(removed);
    EXPECT_TRUE(PresentLinks().empty());

    EXPECT_EQ(driver::Devices().SetupPromptReboot(nullptr, nullptr, FALSE), 0);
    EXPECT_EQ(RebootPrompts(), 1u);
}
