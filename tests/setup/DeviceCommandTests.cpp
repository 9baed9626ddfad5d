// -a and -r over the device world: devices, instance keys and storage directories.
#include "SetupCommandTest.h"

#include "driver/DeviceApi.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceInfoSets.h"
#include "simulation/InstallBehaviour.h"
#include "simulation/WorldStore.h"

#include "ApiOverride.h"
#include "RegistryTestSupport.h"
#include "UnixLink.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <tuple>

namespace fs = std::filesystem;
using Lines = std::vector<std::wstring>;

namespace
{

const std::wstring kInstances = testreg::kInstancesPath;

bool Present(const std::wstring& instanceId)
{
    const auto record = simulation::store::Find(instanceId);
    return record && record->state == simulation::DeviceState::Started;
}

bool KeyOf(const std::wstring& id)
{
    return testreg::KeyExists(kInstances + L"\\" + id);
}

LONG WINAPI DeniedCreateKey(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY,
                            LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}

BOOL WINAPI FailingEnum(HDEVINFO, DWORD, PSP_DEVINFO_DATA)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The class installer in front of the world's: counts the removals asked for as Windows needs them
// (the class-install parameters of a global DIF_REMOVE set first), and fails from call `g_failFrom` on.
int g_installerCalls = 0;
int g_failFrom = 0;
int g_globalRemoves = 0;
decltype(&::SetupDiCallClassInstaller) g_realInstaller = nullptr;
BOOL WINAPI WatchedInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device)
{
    const auto element = simulation::CDeviceInfoSets::Instance().CopyElement(set, device);
    if (function == DIF_REMOVE && element && element->classInstallFunction == DIF_REMOVE &&
        element->removeScope == DI_REMOVEDEVICE_GLOBAL)
    {
        ++g_globalRemoves;
    }
    ++g_installerCalls;
    if (g_failFrom > 0 && g_installerCalls >= g_failFrom)
    {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return g_realInstaller(function, set, device);
}

BOOL WINAPI DeniedDelete(LPCWSTR)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

class DeviceCommandTest : public SetupCommandTest
{
protected:
    // n devices added with -a, each with its key and a storage directory.
    void AddDevices(int n)
    {
        for (int i = 0; i < n; ++i)
        {
            ASSERT_EQ(Run({L"-a"}), 0);
            MakeStorage(out.substr(0, out.size() - 1));
        }
        ClearLog();
    }
    // Puts WatchedInstaller in front of the world's class installer.
    void WatchInstaller(int failFrom)
    {
        g_installerCalls = g_globalRemoves = 0;
        g_failFrom = failFrom;
        g_realInstaller = driver::Devices().SetupDiCallClassInstaller;
        m_installer.emplace(driver::Devices().SetupDiCallClassInstaller, &WatchedInstaller);
    }
    // The device, its key and its storage directory are all there (or all gone).
    void ExpectKept(const std::wstring& id, bool kept = true)
    {
        std::wstring instanceId = id;
        std::replace(instanceId.begin(), instanceId.end(), L'#', L'\\');
        EXPECT_EQ(Present(instanceId), kept) << id;
        EXPECT_EQ(KeyOf(id), kept) << id;
        EXPECT_EQ(fs::exists(StorageRoot() / id), kept) << id;
    }

private:
    std::optional<CApiOverride<decltype(&::SetupDiCallClassInstaller)>> m_installer;
};

} // namespace

TEST_F(DeviceCommandTest, AddPrintsTheInstanceIdAndCreatesItsKey)
{
    EXPECT_EQ(Run({L"-a"}), 0);
    EXPECT_EQ(out, L"ROOT#MEDIA#0000\n");
    EXPECT_EQ(Run({L"--add-device"}), 0);
    EXPECT_EQ(out, L"ROOT#MEDIA#0001\n");
    EXPECT_EQ(err, L"");
    EXPECT_TRUE(Present(L"ROOT\\MEDIA\\0001"));
    EXPECT_TRUE(KeyOf(L"ROOT#MEDIA#0000"));
    EXPECT_TRUE(KeyOf(L"ROOT#MEDIA#0001"));
    EXPECT_EQ(LogLines(), 0u);
}

TEST_F(DeviceCommandTest, AddReportsAKeyThatCannotBeCreatedAndStillSucceeds)
{
    CApiOverride guard(platform::Api().RegCreateKeyExW, &DeniedCreateKey);
    EXPECT_EQ(Run({L"-a"}), 0);
    EXPECT_EQ(out, L"ROOT#MEDIA#0000\n");
    EXPECT_EQ(err, L"Failed to create registry key for ROOT#MEDIA#0000: Cannot open from registry.\n");
    EXPECT_TRUE(Present(L"ROOT\\MEDIA\\0000"));
}

TEST_F(DeviceCommandTest, EachFailingCreationStepLogsOneErrorAndUndoesNothing)
{
    // step, logged text, the state the device is left in (none when it was never registered)
    const std::vector<std::tuple<const wchar_t*, std::wstring, int>> steps = {
        {L"SetupDiGetINFClassW", L"SetupDiGetINFClass failed: ", -1},
        {L"SetupDiCreateDeviceInfoList", L"SetupDiCreateDeviceInfoList failed: ", -1},
        {L"SetupDiCreateDeviceInfoW", L"SetupDiCreateDeviceInfo failed: ", -1},
        {L"SetupDiSetDeviceRegistryPropertyW", L"SetupDiSetDeviceRegistryProperty failed: ", -1},
        {L"DIF_REGISTERDEVICE", L"SetupDiCallClassInstaller failed: ", -1},
        {L"DiInstallDevice", L"DiInstallDevice failed: ",
         static_cast<int>(simulation::DeviceState::Registered)},
        {L"SetupDiGetDeviceInstanceIdW", L"SetupDiGetDeviceInstanceId failed: ",
         static_cast<int>(simulation::DeviceState::Started)},
    };
    for (const auto& [step, prefix, left] : steps)
    {
        simulation::ResetWorld();
        simulation::SetInstallFailure(step, ERROR_ACCESS_DENIED);
        ClearLog();
        EXPECT_EQ(Run({L"-a"}), 1) << step;
        EXPECT_EQ(Logged(velmar::LogSeverity::Error), Lines{prefix + ErrorForm(ERROR_ACCESS_DENIED)}) << step;
        EXPECT_EQ(LogLines(), 1u) << step;
        EXPECT_EQ(out, L"") << step;
        EXPECT_FALSE(testreg::KeyExists(kInstances)) << step;
        const std::vector<simulation::DeviceRecord> devices = simulation::store::Devices();
        if (left < 0)
        {
            EXPECT_TRUE(devices.empty()) << step;
        }
        else
        {
            ASSERT_EQ(devices.size(), 1u) << step;
            EXPECT_EQ(static_cast<int>(devices[0].state), left) << step;
            // Found by its hardware id, with or without a driver and an interface: -r cleans it up.
            simulation::SetInstallFailure(step, 0);
            EXPECT_EQ(Run({L"-r", L"all"}), 0) << step;
            EXPECT_EQ(simulation::store::Devices().at(0).state, simulation::DeviceState::Removed) << step;
            testreg::DeleteProductKey(); // made by -r
        }
    }

    simulation::ResetWorld();
    ClearLog();
    CApiOverride guard(platform::Api().GetFullPathNameW, &SetupCommandTest::LongFullPath);
    EXPECT_EQ(Run({L"-a"}), 1);
    EXPECT_EQ(Logged(velmar::LogSeverity::Error), Lines{L"Inf full path is too long"});
}

TEST_F(DeviceCommandTest, RemoveOneDeviceWithItsKeyAndStorage)
{
    AddDevices(2);
    WatchInstaller(0);
    EXPECT_EQ(Run({L"-v", L"-r", L"ROOT#MEDIA#0000"}), 0);
    EXPECT_EQ(g_globalRemoves, 1);
    EXPECT_EQ(Logged(velmar::LogSeverity::Verb), Lines{L"Removing device ROOT\\MEDIA\\0000"});
    EXPECT_EQ(err, L"");
    ExpectKept(L"ROOT#MEDIA#0000", false);
    ExpectKept(L"ROOT#MEDIA#0001");

    // Letter case does not matter to the device, the key or the directory.
    EXPECT_EQ(Run({L"--remove-device=root#media#0001"}), 0);
    EXPECT_EQ(err, L"");
    ExpectKept(L"ROOT#MEDIA#0001", false);
}

TEST_F(DeviceCommandTest, RemoveAllTakesEveryDeviceKeyAndDirectoryButNotFilesUnderTheRoot)
{
    AddDevices(3);
    testreg::CreateKey(kInstances + L"\\ROOT#MEDIA#0099");
    MakeStorage(L"leftover");
    std::ofstream(StorageRoot() / L"notes.txt") << "kept";

    EXPECT_EQ(Run({L"-v", L"-r", L"all"}), 0);
    EXPECT_EQ(Logged(velmar::LogSeverity::Verb),
              (Lines{L"Removing device ROOT\\MEDIA\\0000", L"Removing device ROOT\\MEDIA\\0001",
                     L"Removing device ROOT\\MEDIA\\0002", L"No device to remove"}));
    EXPECT_EQ(err, L"");
    for (const wchar_t* id : {L"ROOT#MEDIA#0000", L"ROOT#MEDIA#0001", L"ROOT#MEDIA#0002"})
    {
        ExpectKept(id, false);
    }
    EXPECT_FALSE(KeyOf(L"ROOT#MEDIA#0099"));
    std::vector<fs::path> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(StorageRoot()))
    {
        left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<fs::path>{L"notes.txt"});

    // No device at all: still success, and a missing root is reported.
    fs::remove_all(StorageRoot());
    EXPECT_EQ(Run({L"-r", L"all"}), 0);
    EXPECT_EQ(err.rfind(L"Failed to delete storing path for " + StorageRoot().wstring() + L": ", 0), 0u)
        << err;
}

TEST_F(DeviceCommandTest, RemoveOfAnUnknownIdTouchesNothing)
{
    AddDevices(1);
    for (const auto& [argument, logged] : std::vector<std::pair<const wchar_t*, const wchar_t*>>{
             {L"ALL", L"ALL"}, {L"ROOT#MEDIA#0042", L"ROOT\\MEDIA\\0042"}})
    {
        ClearLog();
        EXPECT_EQ(Run({L"-r", argument}), 1) << argument;
        EXPECT_EQ(Logged(velmar::LogSeverity::Error),
                  Lines{std::wstring(L"Did not find the Device ") + logged + L" to remove"});
        EXPECT_EQ(err, L"");
        ExpectKept(L"ROOT#MEDIA#0000");
    }
}

TEST_F(DeviceCommandTest, RemoveReportsKeysItCannotDelete)
{
    AddDevices(2);
    // Written with "\": the device is found, its key and directory are not.
    EXPECT_EQ(Run({L"-r", L"ROOT\\MEDIA\\0000"}), 0);
    EXPECT_EQ(err,
              L"Failed to delete registry key for ROOT\\MEDIA\\0000: Cannot delete key from the registry\n");
    EXPECT_FALSE(Present(L"ROOT\\MEDIA\\0000"));
    EXPECT_TRUE(KeyOf(L"ROOT#MEDIA#0000"));
    EXPECT_TRUE(fs::exists(StorageRoot() / L"ROOT#MEDIA#0000"));

    // A key with a subkey stays; the storage goes anyway.
    testreg::CreateKey(kInstances + L"\\ROOT#MEDIA#0001\\sub");
    EXPECT_EQ(Run({L"-r", L"ROOT#MEDIA#0001"}), 0);
    EXPECT_EQ(err,
              L"Failed to delete registry key for ROOT#MEDIA#0001: Cannot delete key from the registry\n");
    EXPECT_TRUE(KeyOf(L"ROOT#MEDIA#0001"));
    EXPECT_FALSE(fs::exists(StorageRoot() / L"ROOT#MEDIA#0001"));
}

TEST_F(DeviceCommandTest, EachFailingRemovalStepLogsOneErrorAndTouchesNothing)
{
    const std::vector<std::pair<const wchar_t*, std::wstring>> steps = {
        {L"SetupDiGetClassDevsW", L"Did not find the Device ROOT\\MEDIA\\0000 to remove"},
        {L"SetupDiGetDeviceInstanceIdW", L"SetupDiGetDeviceInstanceId failed: "},
        {L"SetupDiGetDeviceInfoListDetailW", L"SetupDiGetDeviceInfoListDetail failed: "},
        {L"SetupDiSetClassInstallParamsW", L"DIF_REMOVE failed: "},
        {L"DIF_REMOVE", L"DIF_REMOVE failed: "},
    };
    AddDevices(1);
    for (const auto& [step, prefix] : steps)
    {
        simulation::SetInstallFailure(step, ERROR_ACCESS_DENIED);
        ClearLog();
        EXPECT_EQ(Run({L"-r", L"ROOT#MEDIA#0000"}), 1) << step;
        const std::wstring expected =
            prefix.back() == L' ' ? prefix + ErrorForm(ERROR_ACCESS_DENIED) : prefix;
        EXPECT_EQ(Logged(velmar::LogSeverity::Error), Lines{expected}) << step;
        EXPECT_EQ(LogLines(), 1u) << step;
        ExpectKept(L"ROOT#MEDIA#0000");
        simulation::SetInstallFailure(step, 0);
    }

    ClearLog();
    CApiOverride guard(driver::Devices().SetupDiEnumDeviceInfo, &FailingEnum);
    EXPECT_EQ(Run({L"-r", L"all"}), 1);
    EXPECT_EQ(Logged(velmar::LogSeverity::Error),
              Lines{L"SetupDiEnumDeviceInfo failed: " + ErrorForm(ERROR_ACCESS_DENIED)});
    ExpectKept(L"ROOT#MEDIA#0000");
}

TEST_F(DeviceCommandTest, RemoveAllStopsAtAFailureAndKeepsWhatWasRemoved)
{
    AddDevices(2);
    WatchInstaller(2);
    EXPECT_EQ(Run({L"-r", L"all"}), 1);
    EXPECT_EQ(Logged(velmar::LogSeverity::Error),
              Lines{L"DIF_REMOVE failed: " + ErrorForm(ERROR_ACCESS_DENIED)});
    EXPECT_FALSE(Present(L"ROOT\\MEDIA\\0000"));
    // Keys and storage are only touched once every removal succeeded.
    EXPECT_TRUE(KeyOf(L"ROOT#MEDIA#0000"));
    ExpectKept(L"ROOT#MEDIA#0001");
}

TEST_F(DeviceCommandTest, ARebootNeededGivesTwoWithThePromptUnlessMinusB)
{
    // command, the step that asks for the reboot
    const std::vector<std::pair<const wchar_t*, const wchar_t*>> cases = {{L"-a", L"DiInstallDevice"},
                                                                          {L"-rall", L"DIF_REMOVE"}};
    for (const auto& [command, step] : cases)
    {
        for (const bool prompt : {true, false})
        {
            simulation::ResetWorld();
            simulation::AddDevice();
            simulation::SetInstallReboot(step, true);
            EXPECT_EQ(Run(prompt ? std::vector{command} : std::vector{L"-b", command}), 2) << command;
            EXPECT_EQ(simulation::RebootPrompts(), prompt ? 1u : 0u) << command;
            SetRebootPrompt(true);
        }
    }
}

TEST_F(DeviceCommandTest, RemoveNeverReachesThroughALinkAndReportsWhatStays)
{
    AddDevices(2);
    const fs::path target = StorageRoot().parent_path() / L"elsewhere";
    fs::create_directories(target);
    std::ofstream(target / L"keep.txt") << "kept";
    {
        // Whatever happens, the link and the target go before the next test.
        struct CCleanup
        {
            ~CCleanup()
            {
                unixlink::RemoveTree(StorageRoot());
                unixlink::RemoveTree(StorageRoot().parent_path() / L"elsewhere");
            }
        } cleanup;
        ASSERT_TRUE(unixlink::Make(target, StorageRoot() / L"ROOT#MEDIA#0000" / L"link"));
        EXPECT_EQ(Run({L"-r", L"all"}), 0);
        EXPECT_TRUE(fs::exists(target / L"keep.txt"));
        EXPECT_FALSE(fs::exists(StorageRoot() / L"ROOT#MEDIA#0001"));
    }

    // One line per entry that stays: the entry under the root (or the argument) and the system's text.
    CApiOverride guard(platform::Api().DeleteFileW, &DeniedDelete);
    std::wstring text = FormatSystemError(ERROR_ACCESS_DENIED);
    text.erase(text.find_last_not_of(L"\r\n") + 1);
    for (const bool all : {true, false})
    {
        AddDevices(1);
        const std::wstring id = out.substr(0, out.size() - 1);
        const fs::path state = StorageRoot() / id / L"state.json";
        EXPECT_EQ(Run({L"-r", all ? L"all" : id.c_str()}), 0);
        EXPECT_EQ(err, L"Failed to delete storing path for " + (all ? (StorageRoot() / id).wstring() : id) +
                           L": " + text + L" [" + state.wstring() + L"]\n");
    }
}
