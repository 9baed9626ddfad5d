#pragma once
// Helpers for the device world tests: a host side of a control channel with raw overlapped I/O, a
// notification recorder, and bounded waiting.
#include "driver/DeviceApi.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceNames.h"
#include "platform/SystemApi.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace worldtest
{

inline const GUID kInterfaceClass = {
    0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};

// Polls `condition` every 10 ms for at most `ms`.
inline bool WaitUntil(const std::function<bool()>& condition, int ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A device's link as the world's interface list and its notifications write it now.
inline std::wstring Listed(const std::wstring& instanceId)
{
    return simulation::ListedLink(instanceId, simulation::WorldLinkCase());
}
inline std::wstring Notified(const std::wstring& instanceId)
{
    return simulation::NotifiedLink(instanceId, simulation::WorldLinkCase());
}

inline std::wstring ControlPath(const std::wstring& instanceId)
{
    return simulation::LinkForInstance(instanceId) + L"\\Control";
}

inline HANDLE OpenChannel(const std::wstring& instanceId)
{
    return driver::Devices().CreateFileW(ControlPath(instanceId).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// The host side of a channel: one overlapped transfer at a time, as the program does it.
class CHostChannel
{
public:
    explicit CHostChannel(HANDLE handle)
        : m_handle(handle), m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~CHostChannel()
    {
        Close();
        ::CloseHandle(m_event);
    }
    CHostChannel(const CHostChannel&) = delete;
    CHostChannel& operator=(const CHostChannel&) = delete;

    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return m_handle; }
    void Close()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(m_handle);
        }
        m_handle = INVALID_HANDLE_VALUE;
    }

    // Returns the bytes transferred, or -1 with `error` set.
    long Transfer(bool write, void* buffer, DWORD size, DWORD* error = nullptr)
    {
        OVERLAPPED ov{};
        ov.hEvent = m_event;
        ::ResetEvent(m_event);
        // Through the system call table, as the program transfers (the world sees these requests).
        const BOOL started = write ? platform::Api().WriteFile(m_handle, buffer, size, nullptr, &ov)
                                   : platform::Api().ReadFile(m_handle, buffer, size, nullptr, &ov);
        if (!started && ::GetLastError() != ERROR_IO_PENDING)
        {
            if (error)
            {
                *error = ::GetLastError();
            }
            return -1;
        }
        DWORD bytes = 0;
        if (!platform::Api().GetOverlappedResult(m_handle, &ov, &bytes, TRUE))
        {
            if (error)
            {
                *error = ::GetLastError();
            }
            return -1;
        }
        return static_cast<long>(bytes);
    }

    // One host cycle: write `out`, then read into `in`; true when both moved whole blocks.
    bool Cycle(std::vector<int32_t>& out, std::vector<int32_t>& in)
    {
        const DWORD bytes = static_cast<DWORD>(out.size() * sizeof(int32_t));
        return Transfer(true, out.data(), bytes) == static_cast<long>(bytes) &&
               Transfer(false, in.data(), bytes) == static_cast<long>(bytes);
    }

private:
    HANDLE m_handle;
    HANDLE m_event;
};

// Records every notification a registration receives; `reply` decides the callback's result.
class CNotificationLog
{
public:
    struct Entry
    {
        CM_NOTIFY_ACTION action;
        std::wstring link;
    };

    static DWORD CALLBACK Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                   PCM_NOTIFY_EVENT_DATA data, DWORD)
    {
        auto* self = static_cast<CNotificationLog*>(context);
        std::wstring link;
        if (data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
        {
            link = data->u.DeviceInterface.SymbolicLink;
        }
        DWORD result = ERROR_SUCCESS;
        if (self->reply)
        {
            result = self->reply(action);
        }
        std::lock_guard lock(self->m_mutex);
        self->m_entries.push_back({action, link});
        return result;
    }

    std::vector<Entry> Entries()
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    std::vector<int> Actions()
    {
        std::vector<int> out;
        for (const auto& e : Entries())
        {
            out.push_back(static_cast<int>(e.action));
        }
        return out;
    }
    bool Has(CM_NOTIFY_ACTION action, const std::wstring& link = L"")
    {
        for (const auto& e : Entries())
        {
            if (e.action == action && (link.empty() || e.link == link))
            {
                return true;
            }
        }
        return false;
    }

    std::function<DWORD(CM_NOTIFY_ACTION)> reply;

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

inline HCMNOTIFICATION RegisterInterfaces(CNotificationLog& log)
{
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = kInterfaceClass;
    HCMNOTIFICATION handle = nullptr;
    if (driver::Devices().CM_Register_Notification(&filter, &log, &CNotificationLog::Callback, &handle) !=
        CR_SUCCESS)
    {
        return nullptr;
    }
    return handle;
}

inline HCMNOTIFICATION RegisterHandle(CNotificationLog& log, HANDLE device)
{
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
    filter.u.DeviceHandle.hTarget = device;
    HCMNOTIFICATION handle = nullptr;
    if (driver::Devices().CM_Register_Notification(&filter, &log, &CNotificationLog::Callback, &handle) !=
        CR_SUCCESS)
    {
        return nullptr;
    }
    return handle;
}

// The present interface links as CM_Get_Device_Interface_ListW reports them.
inline std::vector<std::wstring> PresentLinks()
{
    GUID cls = kInterfaceClass;
    ULONG length = 0;
    if (driver::Devices().CM_Get_Device_Interface_List_SizeW(
            &length, &cls, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS)
    {
        return {};
    }
    std::vector<wchar_t> buffer(length);
    if (driver::Devices().CM_Get_Device_Interface_ListW(&cls, nullptr, buffer.data(), length,
                                                        CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS)
    {
        return {};
    }
    std::vector<std::wstring> links;
    for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1)
    {
        links.emplace_back(p);
    }
    return links;
}

} // namespace worldtest
