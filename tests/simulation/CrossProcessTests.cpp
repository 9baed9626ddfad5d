// The device world served by orvane-vdev.exe in another process, seen and driven from here.
#include "WorldTestSupport.h"

#include "simulation/DeviceControl.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace simulation;
using namespace worldtest;

namespace
{

// A child process of orvane-vdev.exe with its output discarded; ended by its owner.
class CVdevProcess
{
public:
    // Output goes to `output` (a file name), or is discarded.
    explicit CVdevProcess(const std::wstring& arguments, const std::wstring& output = L"NUL")
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        m_null =
            ::CreateFileW(output.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          &inherit, output == L"NUL" ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = m_null;
        startup.hStdOutput = m_null;
        startup.hStdError = m_null;
        std::wstring command = L"orvane-vdev.exe " + arguments;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                             &info))
        {
            ::CloseHandle(info.hThread);
            m_process = info.hProcess;
        }
    }
    ~CVdevProcess()
    {
        if (m_process)
        {
            if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT)
            {
                ::TerminateProcess(m_process, 99);
            }
            ::WaitForSingleObject(m_process, 5000);
            ::CloseHandle(m_process);
        }
        if (m_null != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(m_null);
        }
    }
    CVdevProcess(const CVdevProcess&) = delete;
    CVdevProcess& operator=(const CVdevProcess&) = delete;

    bool Started() const { return m_process != nullptr; }
    // The exit code, or -1 when it did not end in time.
    long Wait(DWORD ms = 20000)
    {
        if (!m_process || ::WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0)
        {
            return -1;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return static_cast<long>(code);
    }

private:
    HANDLE m_process = nullptr;
    HANDLE m_null = INVALID_HANDLE_VALUE;
};

} // namespace

TEST(CrossProcessTest, DevicesOfAnotherProcessAreSeenStreamedAndRemovedWithTheProtocol)
{
    ResetWorld();
    CVdevProcess world(L"start 2");
    ASSERT_TRUE(world.Started());
    ASSERT_TRUE(WaitUntil([] { return PresentLinks().size() == 2 && WorldIsServing(); }, 20000));
    const auto devices = store::Devices();
    ASSERT_EQ(devices.size(), 2u);
    const std::wstring first = devices[0].instanceId;
    const std::wstring second = devices[1].instanceId;

    CNotificationLog interfaces;
    HCMNOTIFICATION interfaceRegistration = RegisterInterfaces(interfaces);
    ASSERT_NE(interfaceRegistration, nullptr);

    // Stream through the other process's channel and read its published statistics.
    CHostChannel host(OpenChannel(first));
    ASSERT_TRUE(host.IsOpen()) << ::GetLastError();
    std::vector<int32_t> out(480, 0);
    std::vector<int32_t> in(480);
    for (int k = 0; k < 20; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        out = in;
    }
    ASSERT_TRUE(WaitUntil([&] { return Statistics(first).value_or(DeviceStatistics{}).blocksRead >= 20; }));
    EXPECT_EQ(Statistics(first)->mismatches, 0u);
    EXPECT_GE(Statistics(first)->blocksChecked, 19u);

    // A removal requested by a third process reaches this holder as a query-remove; it lets go of
    // the handle in its callback, so the serving world removes the device.
    CNotificationLog handle;
    handle.reply = [&](CM_NOTIFY_ACTION action)
    {
        if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE)
        {
            host.Close();
        }
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    HCMNOTIFICATION handleRegistration = RegisterHandle(handle, host.Handle());
    ASSERT_NE(handleRegistration, nullptr);
    CVdevProcess remove(L"remove " + HashForm(first));
    EXPECT_EQ(remove.Wait(), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, Notified(first)); }));
    EXPECT_EQ(handle.Actions().back(), CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);

    // Without a holder the removal goes straight through; a world veto keeps the device.
    CVdevProcess veto(L"remove " + second + L" --veto");
    EXPECT_EQ(veto.Wait(), 2);
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{Listed(second)}));
    CVdevProcess removeSecond(L"remove " + second);
    EXPECT_EQ(removeSecond.Wait(), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, Notified(second)); }));

    CVdevProcess stop(L"stop");
    EXPECT_EQ(stop.Wait(), 0);
    EXPECT_EQ(world.Wait(), 0);
    EXPECT_FALSE(WorldIsServing());
    driver::Devices().CM_Unregister_Notification(handleRegistration);
    driver::Devices().CM_Unregister_Notification(interfaceRegistration);
}

namespace
{

std::vector<std::string> Lines(const std::wstring& file)
{
    std::vector<std::string> lines;
    FILE* f = _wfopen(file.c_str(), L"rb");
    if (f == nullptr)
    {
        return lines;
    }
    std::string line;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f))
    {
        if (c == '\n')
        {
            lines.push_back(line);
            line.clear();
        }
        else if (c != '\r' && c != 0)
        {
            line += static_cast<char>(c);
        }
    }
    std::fclose(f);
    return lines;
}

} // namespace

// The stream check chosen from the command line, changed while streaming, the figures as JSON (one
// object per device) and removing every device at once.
TEST(CrossProcessTest, ExpectationsStatisticsAndRemovalFromTheCommandLine)
{
    ResetWorld();
    CVdevProcess world(L"start 16 --expect gain=0.5");
    ASSERT_TRUE(world.Started());
    ASSERT_TRUE(WaitUntil([] { return PresentLinks().size() == 16 && WorldIsServing(); }, 20000));
    const std::wstring id = StartedDevices().front();
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(480, 0);
    std::vector<int32_t> in(480);
    for (int k = 0; k < 10; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        for (size_t i = 0; i < in.size(); ++i)
        {
            out[i] = in[i] / 2;
        }
    }
    CVdevProcess identity(L"expect " + HashForm(id) + L" identity");
    EXPECT_EQ(identity.Wait(), 0);
    CVdevProcess bad(L"expect " + HashForm(id) + L" gain=loud");
    EXPECT_EQ(bad.Wait(), 1);
    // The serving world takes the change at its next pass, the check restarts at the next block.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int k = 0; k < 10; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        out = in;
    }
    host.Close();
    ASSERT_TRUE(WaitUntil([&] { return Statistics(id)->blocksRead >= 20; }));
    EXPECT_EQ(Statistics(id)->mismatches, 0u);

    const std::wstring file = L"vdev-stats.json";
    CVdevProcess stats(L"stats --json", file);
    EXPECT_EQ(stats.Wait(), 0);
    const auto lines = Lines(file);
    ASSERT_EQ(lines.size(), 16u);
    for (const char* key :
         {"\"id\":", "\"connections\":", "\"blocksRead\":", "\"blocksWritten\":", "\"blocksChecked\":",
          "\"mismatches\":", "\"lateBlocks\":", "\"turnaroundP50Us\":", "\"turnaroundP99Us\":",
          "\"turnaroundMaxUs\":", "\"worldLateMaxUs\":", "\"glitchUs\":", "\"failedTransfers\":",
          "\"vetoesOpenHandle\":", "\"unregisterInCallback\":"})
    {
        EXPECT_NE(lines[0].find(key), std::string::npos) << key << " in " << lines[0];
    }
    EXPECT_EQ(lines[0].rfind("{\"id\":\"ROOT\\\\MEDIA\\\\", 0), 0u) << lines[0];
    ::DeleteFileW(file.c_str());

    CVdevProcess removeAll(L"remove all");
    EXPECT_EQ(removeAll.Wait(), 0);
    EXPECT_TRUE(StartedDevices().empty());
    CVdevProcess stop(L"stop");
    EXPECT_EQ(stop.Wait(), 0);
    EXPECT_EQ(world.Wait(), 0);
}
