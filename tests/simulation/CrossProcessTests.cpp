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
    explicit CVdevProcess(const std::wstring& arguments)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        m_null = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, OPEN_EXISTING, 0, nullptr);
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
                ::TerminateProcess(m_process, 99);
            ::WaitForSingleObject(m_process, 5000);
            ::CloseHandle(m_process);
        }
        if (m_null != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_null);
    }
    CVdevProcess(const CVdevProcess&) = delete;
    CVdevProcess& operator=(const CVdevProcess&) = delete;

    bool Started() const { return m_process != nullptr; }
    // The exit code, or -1 when it did not end in time.
    long Wait(DWORD ms = 20000)
    {
        if (!m_process || ::WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0)
            return -1;
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
    ASSERT_TRUE(WaitUntil(
        [&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, LinkForInstance(first)); }));
    EXPECT_EQ(handle.Actions().back(), CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);

    // Without a holder the removal goes straight through; a world veto keeps the device.
    CVdevProcess veto(L"remove " + second + L" --veto");
    EXPECT_EQ(veto.Wait(), 2);
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{LinkForInstance(second)}));
    CVdevProcess removeSecond(L"remove " + second);
    EXPECT_EQ(removeSecond.Wait(), 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, LinkForInstance(second)); }));

    CVdevProcess stop(L"stop");
    EXPECT_EQ(stop.Wait(), 0);
    EXPECT_EQ(world.Wait(), 0);
    EXPECT_FALSE(WorldIsServing());
    driver::Devices().CM_Unregister_Notification(handleRegistration);
    driver::Devices().CM_Unregister_Notification(interfaceRegistration);
}
