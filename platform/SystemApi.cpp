#include "platform/SystemApi.h"

namespace platform
{

SystemApi& Api()
{
    static SystemApi api{
        &::CreateEventW,
        &::SetEvent,
        &::ResetEvent,
        &::CloseHandle,
        &::WaitForSingleObject,
        &::WaitForMultipleObjects,
        &::WideCharToMultiByte,
        &::MultiByteToWideChar,
        &::FormatMessageW,
        &::LocalFree,
        &::RegOpenKeyExW,
        &::RegCreateKeyExW,
        &::RegGetValueW,
        &::RegSetValueExW,
        &::RegQueryInfoKeyW,
        &::RegEnumKeyExW,
        &::RegDeleteKeyW,
        &::RegNotifyChangeKeyValue,
        &::RegCloseKey,
        &::BCryptOpenAlgorithmProvider,
        &::BCryptSetProperty,
        &::BCryptGenerateSymmetricKey,
        &::BCryptDecrypt,
        &::BCryptDestroyKey,
        &::BCryptCloseAlgorithmProvider,
        &::GetProcessHeap,
        &::HeapAlloc,
        &::HeapFree,
        &::SHGetFolderPathW,
        &::GetFullPathNameW,
        &::GetStdHandle,
        &::GetConsoleScreenBufferInfo,
        &::SetConsoleTextAttribute,
        &::WriteConsoleW,
        &::SetConsoleCtrlHandler,
        &::RegisterEventSourceW,
        &::ReportEventW,
        &::DeregisterEventSource,
        &::EventRegister,
        &::EventUnregister,
        &::EventSetInformation,
        &::EventWriteTransfer,
        &::EventActivityIdControl,
        &::LoadLibraryExW,
        &::GetProcAddress,
        &::GetModuleHandleExW,
        &::GetModuleFileNameW,
        &::ReadFile,
        &::WriteFile,
        &::GetOverlappedResult,
        &::CancelIoEx,
        &::SetThreadPriority,
        &::CoInitializeEx,
        &::CoUninitialize,
        &::CoTaskMemAlloc,
    };
    return api;
}

} // namespace platform
