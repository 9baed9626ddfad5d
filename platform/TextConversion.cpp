#include "platform/TextConversion.h"

#include "platform/SystemApi.h"

std::string WideToUtf8(std::wstring_view text)
{
    if (text.empty())
    {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int bytes = platform::Api().WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
    {
        return {};
    }
    std::string result(static_cast<size_t>(bytes), '\0');
    const int written =
        platform::Api().WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), bytes, nullptr, nullptr);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}

std::wstring Utf8ToWide(std::string_view text)
{
    if (text.empty())
    {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int chars = platform::Api().MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (chars <= 0)
    {
        return {};
    }
    std::wstring result(static_cast<size_t>(chars), L'\0');
    const int written = platform::Api().MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), chars);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}
