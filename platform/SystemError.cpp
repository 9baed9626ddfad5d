#include "platform/SystemError.h"

#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"

std::wstring FormatSystemError(std::uint32_t code)
{
    if (code == 0)
    {
        return L"No error";
    }
    platform::UniqueLocalMemory buffer;
    const DWORD length = platform::Api().FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (length == 0 || !buffer)
    {
        return {};
    }
    return std::wstring(static_cast<const wchar_t*>(buffer.get()), length);
}

std::wstring ToHex(std::uint32_t value)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    do
    {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}
