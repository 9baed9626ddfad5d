#pragma once
// The operating-system calls the program makes where a test must be able to substitute or fail a call.
// Every entry has the real function's signature and starts out as the real function; a test swaps a
// single entry (see tests/support/ApiOverride.h) and restores it afterwards.
// The device-facing calls that a simulation must stand in for live in driver/DeviceApi.h instead.
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <avrt.h>
#include <bcrypt.h>
#include <evntprov.h>
#include <shlobj.h>

namespace platform
{

struct SystemApi
{
    // Events and waits
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::SetEvent) SetEvent;
    decltype(&::ResetEvent) ResetEvent;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    decltype(&::CreateMutexExW) CreateMutexExW;
    decltype(&::ReleaseMutex) ReleaseMutex;

    // Text and error text
    decltype(&::WideCharToMultiByte) WideCharToMultiByte;
    decltype(&::MultiByteToWideChar) MultiByteToWideChar;
    decltype(&::FormatMessageW) FormatMessageW;
    decltype(&::LocalFree) LocalFree;

    // Registry
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW;
    decltype(&::RegGetValueW) RegGetValueW;
    decltype(&::RegSetValueExW) RegSetValueExW;
    decltype(&::RegQueryInfoKeyW) RegQueryInfoKeyW;
    decltype(&::RegEnumKeyExW) RegEnumKeyExW;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW;
    decltype(&::RegNotifyChangeKeyValue) RegNotifyChangeKeyValue;
    decltype(&::RegCloseKey) RegCloseKey;

    // Cryptography (CNG) and the process heap
    decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
    decltype(&::BCryptSetProperty) BCryptSetProperty;
    decltype(&::BCryptGenerateSymmetricKey) BCryptGenerateSymmetricKey;
    decltype(&::BCryptDecrypt) BCryptDecrypt;
    decltype(&::BCryptDestroyKey) BCryptDestroyKey;
    decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;
    decltype(&::GetProcessHeap) GetProcessHeap;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapFree) HeapFree;

    // Folders and paths
    decltype(&::SHGetFolderPathW) SHGetFolderPathW;
    decltype(&::GetFullPathNameW) GetFullPathNameW;

    // Console and event log
    decltype(&::GetStdHandle) GetStdHandle;
    decltype(&::GetConsoleScreenBufferInfo) GetConsoleScreenBufferInfo;
    decltype(&::GetConsoleMode) GetConsoleMode;
    decltype(&::SetConsoleTextAttribute) SetConsoleTextAttribute;
    decltype(&::WriteConsoleW) WriteConsoleW;
    decltype(&::SetConsoleCtrlHandler) SetConsoleCtrlHandler;
    decltype(&::RegisterEventSourceW) RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource;

    // Event tracing
    decltype(&::EventRegister) EventRegister;
    decltype(&::EventUnregister) EventUnregister;
    decltype(&::EventSetInformation) EventSetInformation;
    decltype(&::EventWriteTransfer) EventWriteTransfer;
    decltype(&::EventActivityIdControl) EventActivityIdControl;

    // Module loading
    decltype(&::LoadLibraryExW) LoadLibraryExW;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::GetModuleHandleExW) GetModuleHandleExW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;

    // File I/O on a device channel
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::GetOverlappedResult) GetOverlappedResult;
    decltype(&::CancelIoEx) CancelIoEx;

    // Threads and the process environment
    decltype(&::SetThreadPriority) SetThreadPriority;
    decltype(&::AvSetMmThreadCharacteristicsW) AvSetMmThreadCharacteristicsW;
    decltype(&::AvRevertMmThreadCharacteristics) AvRevertMmThreadCharacteristics;
    decltype(&::SetEnvironmentVariableW) SetEnvironmentVariableW;

    // Service control manager
    decltype(&::CloseServiceHandle) CloseServiceHandle;

    // COM
    decltype(&::CoInitializeEx) CoInitializeEx;
    decltype(&::CoUninitialize) CoUninitialize;
    decltype(&::CoTaskMemAlloc) CoTaskMemAlloc;
    decltype(&::CoTaskMemFree) CoTaskMemFree;
    decltype(&::PropVariantClear) PropVariantClear;

    // Storage folders: creation, removal and their owners
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::FindFirstFileExW) FindFirstFileExW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::GetNamedSecurityInfoW) GetNamedSecurityInfoW;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
};

// The process-wide table, initialised to the real functions.
SystemApi& Api();

} // namespace platform
