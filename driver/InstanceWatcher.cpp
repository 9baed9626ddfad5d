#include "driver/InstanceWatcher.h"

#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "driver/LinkText.h"
#include "platform/Boundary.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <cwchar>
#include <new>

namespace
{
// How often the size and the list are asked while interfaces keep arriving in between.
constexpr int kListAttempts = 16;
constexpr const wchar_t* kNotificationFailed = L"Device interface notification failed";
} // namespace

CInstanceWatcher::~CInstanceWatcher()
{
    Unregister();
    StopReporting();
    std::lock_guard lock(m_mutex);
    m_listening = false;
    m_links.clear();
}

bool CInstanceWatcher::Start()
{
    {
        std::lock_guard lock(m_mutex);
        m_listening = true;
    }
    StartReporting();
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = m_interfaceClass;
    const CONFIGRET registered = driver::Devices().CM_Register_Notification(
        &filter, this, &NotificationCallback, m_notification.put());
    if (registered != CR_SUCCESS)
    {
        // Nothing was registered: whatever the call left there is not a registration to close.
        (void)m_notification.release();
        {
            std::lock_guard lock(m_mutex);
            m_listening = false;
        }
        VLOG(velmar::LogSeverity::Error) << L"CM_Register_Notification failed, error " << registered;
        return false;
    }

    // An interface may arrive between the size query and the list: the list call then reports
    // CR_BUFFER_SMALL and both are asked again.
    std::vector<wchar_t> buffer;
    for (int attempt = 1;; ++attempt)
    {
        ULONG length = 0;
        const CONFIGRET sized = driver::Devices().CM_Get_Device_Interface_List_SizeW(
            &length, &m_interfaceClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (sized != CR_SUCCESS)
        {
            VLOG(velmar::LogSeverity::Error) << L"CM_Get_Device_Interface_List_Size failed, error " << sized;
            Stop();
            return false;
        }
        // An empty list is reported with length 1 (its terminating NUL alone); 0 is taken the same way.
        if (length <= 1)
        {
            VLOG(velmar::LogSeverity::Error) << L"CM_Get_Device_Interface_List_Size : None found";
            return false;
        }
        try
        {
            buffer.assign(length, L'\0');
        }
        catch (const std::bad_alloc&)
        {
            VLOG(velmar::LogSeverity::Error) << L"Memory allocation failed for " << length << L" characters";
            return false;
        }
        const CONFIGRET listed = driver::Devices().CM_Get_Device_Interface_ListW(
            &m_interfaceClass, nullptr, buffer.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (listed == CR_SUCCESS)
        {
            break;
        }
        if (listed != CR_BUFFER_SMALL || attempt == kListAttempts)
        {
            VLOG(velmar::LogSeverity::Error) << L"CM_Get_Device_Interface_List failed, error " << listed;
            Stop();
            return false;
        }
    }

    // A list ends with an empty string; the walk also stops at the end of the buffer, so a list that
    // lacks its final terminator cannot take it past the buffer.
    std::size_t position = 0;
    while (position < buffer.size() && buffer[position] != L'\0')
    {
        const std::size_t remaining = buffer.size() - position;
        const std::size_t stringLength = ::wcsnlen(buffer.data() + position, remaining);
        const std::wstring link(buffer.data() + position, stringLength);
        Arrival(link.c_str());
        position += stringLength + 1;
    }
    return true;
}

void CInstanceWatcher::Stop()
{
    Unregister();
    StopReporting();
    std::lock_guard report(m_reportMutex);
    std::lock_guard lock(m_mutex);
    m_listening = false;
    for (const std::wstring& link : m_links)
    {
        OnRemoving(link.c_str());
    }
    while (!m_links.empty())
    {
        const std::wstring link = m_links.back();
        OnRemoved(link.c_str());
        m_links.pop_back();
    }
}

std::vector<std::wstring> CInstanceWatcher::Links() const
{
    std::lock_guard lock(m_mutex);
    return m_links;
}

void CInstanceWatcher::Unregister() noexcept
{
    m_notification.reset();
}

DWORD CALLBACK CInstanceWatcher::NotificationCallback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                                      PCM_NOTIFY_EVENT_DATA eventData, DWORD)
{
    auto* watcher = static_cast<CInstanceWatcher*>(context);
    if (watcher == nullptr || eventData == nullptr)
    {
        return ERROR_SUCCESS;
    }
    // A system thread: nothing may leave the callback.
    CatchAndLog(velmar::LogSeverity::Error, kNotificationFailed,
                [&]
                {
                    switch (action)
                    {
                    case CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL:
                        watcher->Queue(true, eventData->u.DeviceInterface.SymbolicLink);
                        break;
                    case CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL:
                        watcher->Queue(false, eventData->u.DeviceInterface.SymbolicLink);
                        break;
                    default:
                        break;
                    }
                });
    return ERROR_SUCCESS;
}

void CInstanceWatcher::Arrival(const wchar_t* link)
{
    std::lock_guard report(m_reportMutex);
    std::wstring copy;
    {
        std::lock_guard lock(m_mutex);
        if (!m_listening || Find(link) != m_links.end())
        {
            return;
        }
        m_links.emplace_back(link);
        copy = m_links.back();
    }
    OnArrival(copy.c_str());
}

std::vector<std::wstring>::iterator CInstanceWatcher::Find(const wchar_t* link)
{
    return std::find_if(m_links.begin(), m_links.end(),
                        [link](const std::wstring& known) { return driver::SameLinkText(known, link); });
}

void CInstanceWatcher::Removal(const wchar_t* link)
{
    std::lock_guard report(m_reportMutex);
    std::wstring copy;
    {
        std::lock_guard lock(m_mutex);
        const auto found = Find(link);
        if (found == m_links.end())
        {
            return;
        }
        copy = std::move(*found);
        m_links.erase(found);
    }
    OnRemoving(copy.c_str());
    OnRemoved(copy.c_str());
}

void CInstanceWatcher::Queue(bool arrival, const wchar_t* link)
{
    {
        std::lock_guard lock(m_queueMutex);
        if (!m_queueOpen)
        {
            return;
        }
        m_queue.push_back({arrival, link});
    }
    m_queueChanged.notify_all();
}

void CInstanceWatcher::StartReporting()
{
    std::lock_guard lock(m_queueMutex);
    if (m_queueOpen)
    {
        return;
    }
    m_queueOpen = true;
    if (!m_reporter.joinable())
    {
        m_reporter = std::thread([this] { ReportThread(); });
    }
}

void CInstanceWatcher::StopReporting() noexcept
{
    {
        std::lock_guard lock(m_queueMutex);
        m_queueOpen = false;
        m_queue.clear();
    }
    m_queueChanged.notify_all();
    // Never from the report thread itself (an owner that stops the watch from a notification).
    if (m_reporter.joinable() && m_reporter.get_id() != std::this_thread::get_id())
    {
        m_reporter.join();
    }
}

void CInstanceWatcher::Drain()
{
    std::unique_lock lock(m_queueMutex);
    m_queueChanged.wait(lock, [this] { return m_queue.empty() && !m_reporting; });
}

void CInstanceWatcher::ReportThread()
{
    std::unique_lock lock(m_queueMutex);
    for (;;)
    {
        m_queueChanged.wait(lock, [this] { return !m_queue.empty() || !m_queueOpen; });
        if (!m_queueOpen)
        {
            m_reporting = false;
            m_queueChanged.notify_all();
            return;
        }
        Notice notice = std::move(m_queue.front());
        m_queue.pop_front();
        m_reporting = true;
        lock.unlock();
        CatchAndLog(velmar::LogSeverity::Error, kNotificationFailed,
                    [&] { notice.arrival ? Arrival(notice.link.c_str()) : Removal(notice.link.c_str()); });
        lock.lock();
        m_reporting = false;
        m_queueChanged.notify_all();
    }
}
