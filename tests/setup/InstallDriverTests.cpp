// -D over the device world's installation services.
#include "SetupCommandTest.h"

#include "platform/SystemApi.h"
#include "simulation/DeviceControl.h"
#include "simulation/InstallBehaviour.h"

#include "ApiOverride.h"

#include <utility>

using Lines = std::vector<std::wstring>;

TEST_F(SetupCommandTest, InstallDriverFirstThenAlreadyInstalled)
{
    // No device yet: the device update has nothing to move and that is success.
    EXPECT_EQ(Run({L"-D"}), 0);
    EXPECT_EQ(LogLines(), 0u);
    EXPECT_TRUE(simulation::DriverPackageInstalled());

    EXPECT_EQ(Run({L"--install-driver"}), 0);
    EXPECT_EQ(Logged(velmar::LogSeverity::Info), Lines{L"The installed driver is already same or newer"});
    EXPECT_EQ(LogLines(), 1u);
    EXPECT_EQ(simulation::RebootPrompts(), 0u);
}

TEST_F(SetupCommandTest, InstallDriverRebootFromEitherStepPromptsUnlessMinusB)
{
    simulation::AddDevice();
    for (const wchar_t* step : {L"DiInstallDriverW", L"UpdateDriverForPlugAndPlayDevicesW"})
    {
        simulation::ClearInstallBehaviour();
        simulation::SetInstallReboot(step, true);
        EXPECT_EQ(Run({L"-D"}), 2) << step;
        EXPECT_EQ(simulation::RebootPrompts(), 1u) << step;

        simulation::ClearInstallBehaviour();
        simulation::SetInstallReboot(step, true);
        EXPECT_EQ(Run({L"-b", L"-D"}), 2) << step;
        EXPECT_EQ(simulation::RebootPrompts(), 0u) << step;
        SetRebootPrompt(true);
    }
}

TEST_F(SetupCommandTest, InstallDriverFailuresLogOneErrorAndKeepWhatWasDone)
{
    simulation::AddDevice();
    const std::vector<std::pair<const wchar_t*, std::wstring>> steps = {
        {L"DiInstallDriverW", L"Install driver for inf file '" + InfPath() + L"' failed: "},
        {L"UpdateDriverForPlugAndPlayDevicesW",
         L"Failed to update devices for new driver with inf file '" + InfPath() + L"' failed: "},
    };
    for (const auto& [step, prefix] : steps)
    {
        simulation::ClearInstallBehaviour();
        simulation::SetInstallFailure(step, ERROR_ACCESS_DENIED);
        ClearLog();
        EXPECT_EQ(Run({L"-D"}), 1) << step;
        EXPECT_EQ(Logged(velmar::LogSeverity::Error), Lines{prefix + ErrorForm(ERROR_ACCESS_DENIED)});
        EXPECT_EQ(LogLines(), 1u) << step;
    }
    // The package installed before the device update failed stays installed.
    EXPECT_TRUE(simulation::DriverPackageInstalled());
}

TEST_F(SetupCommandTest, InstallDriverWithAnOverLongPackagePathFailsSilently)
{
    CApiOverride guard(platform::Api().GetFullPathNameW, &SetupCommandTest::LongFullPath);
    EXPECT_EQ(Run({L"-D"}), 1);
    EXPECT_EQ(LogLines(), 0u);
    EXPECT_FALSE(simulation::DriverPackageInstalled());
}
