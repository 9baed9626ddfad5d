#pragma once
#include <string>

// The event-log source "ORVANE.CL.drv" under the Application log.

// The key of a source below HKEY_LOCAL_MACHINE: SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>.
std::wstring GetEventSourceKeys(const std::wstring& logName, const std::wstring& sourceName);

// The source key of "ORVANE.CL.drv" opens for querying.
bool IsEventSourceRegistered();

// Registers the source unless it is registered already, printing "EventLog registration success\n"
// when it creates it. False (after "Failed to register EventLog entry\n" on standard error) when the
// source key cannot be created; the caller then ends with exit code 1.
bool RegisterEventLogSource();

// Removes the source key when it is registered and then prints "EventLog unregistration done\n",
// whether or not the deletion succeeded. Nothing here stops the uninstallation that follows.
void UnregisterEventLogSource();
