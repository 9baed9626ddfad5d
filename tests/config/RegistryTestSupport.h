#pragma once
// Direct registry access for setting up and checking test state, bypassing the code under test.
#include <cstdint>
#include <string>

#include <windows.h>

namespace testreg
{

inline const wchar_t* const kProductPath = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv";
inline const wchar_t* const kParametersPath = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv\\parameters";
inline const wchar_t* const kInstancesPath = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv\\instances";

// Deletes HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv with everything below it.
void DeleteProductKey();

void CreateKey(const std::wstring& path);
void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text);
// Stores exactly the characters, no terminator (through ntdll, which adds none).
void SetRawString(const std::wstring& path, const std::wstring& name, const std::wstring& text);
void SetDword(const std::wstring& path, const std::wstring& name, DWORD value);
void DeleteValue(const std::wstring& path, const std::wstring& name);

struct StoredValue
{
    bool exists = false;
    DWORD type = REG_NONE;
    std::wstring bytes; // raw data as characters
    DWORD size = 0;     // raw size in bytes
};
StoredValue Query(const std::wstring& path, const std::wstring& name);
bool KeyExists(const std::wstring& path);

} // namespace testreg
