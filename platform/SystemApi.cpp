#include "platform/SystemApi.h"

namespace platform
{

SystemApi& Api()
{
    // Designated initialisers: an entry added to the table without its initialiser fails the build.
    static SystemApi api{
        .CreateEventW = &::CreateEventW,
        .SetEvent = &::SetEvent,
        .ResetEvent = &::ResetEvent,
        .CloseHandle = &::CloseHandle,
        .WaitForSingleObject = &::WaitForSingleObject,
        .WaitForMultipleObjects = &::WaitForMultipleObjects,
        .WideCharToMultiByte = &::WideCharToMultiByte,
        .MultiByteToWideChar = &::MultiByteToWideChar,
        .FormatMessageW = &::FormatMessageW,
        .LocalFree = &::LocalFree,
        .RegOpenKeyExW = &::RegOpenKeyExW,
        .RegCreateKeyExW = &::RegCreateKeyExW,
        .RegGetValueW = &::RegGetValueW,
        .RegSetValueExW = &::RegSetValueExW,
        .RegQueryInfoKeyW = &::RegQueryInfoKeyW,
        .RegEnumKeyExW = &::RegEnumKeyExW,
        .RegDeleteKeyW = &::RegDeleteKeyW,
        .RegNotifyChangeKeyValue = &::RegNotifyChangeKeyValue,
        .RegCloseKey = &::RegCloseKey,
        .BCryptOpenAlgorithmProvider = &::BCryptOpenAlgorithmProvider,
        .BCryptSetProperty = &::BCryptSetProperty,
        .BCryptGenerateSymmetricKey = &::BCryptGenerateSymmetricKey,
        .BCryptDecrypt = &::BCryptDecrypt,
        .BCryptDestroyKey = &::BCryptDestroyKey,
        .BCryptCloseAlgorithmProvider = &::BCryptCloseAlgorithmProvider,
        .GetProcessHeap = &::GetProcessHeap,
        .HeapAlloc = &::HeapAlloc,
        .HeapFree = &::HeapFree,
        .SHGetFolderPathW = &::SHGetFolderPathW,
        .GetFullPathNameW = &::GetFullPathNameW,
        .GetStdHandle = &::GetStdHandle,
        .GetConsoleScreenBufferInfo = &::GetConsoleScreenBufferInfo,
        .SetConsoleTextAttribute = &::SetConsoleTextAttribute,
        .WriteConsoleW = &::WriteConsoleW,
        .SetConsoleCtrlHandler = &::SetConsoleCtrlHandler,
        .RegisterEventSourceW = &::RegisterEventSourceW,
        .ReportEventW = &::ReportEventW,
        .DeregisterEventSource = &::DeregisterEventSource,
        .EventRegister = &::EventRegister,
        .EventUnregister = &::EventUnregister,
        .EventSetInformation = &::EventSetInformation,
        .EventWriteTransfer = &::EventWriteTransfer,
        .EventActivityIdControl = &::EventActivityIdControl,
        .LoadLibraryExW = &::LoadLibraryExW,
        .GetProcAddress = &::GetProcAddress,
        .GetModuleHandleExW = &::GetModuleHandleExW,
        .GetModuleFileNameW = &::GetModuleFileNameW,
        .ReadFile = &::ReadFile,
        .WriteFile = &::WriteFile,
        .GetOverlappedResult = &::GetOverlappedResult,
        .CancelIoEx = &::CancelIoEx,
        .SetThreadPriority = &::SetThreadPriority,
        .CloseServiceHandle = &::CloseServiceHandle,
        .CoInitializeEx = &::CoInitializeEx,
        .CoUninitialize = &::CoUninitialize,
        .CoTaskMemAlloc = &::CoTaskMemAlloc,
        .CoTaskMemFree = &::CoTaskMemFree,
        .PropVariantClear = &::PropVariantClear,
    };
    return api;
}

} // namespace platform
