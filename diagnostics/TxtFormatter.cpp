#include "diagnostics/TxtFormatter.h"

#include "diagnostics/LogSeverity.h"
#include "diagnostics/ThreadLabel.h"

#include <cwchar>
#include <time.h>

namespace velmar
{
namespace
{

void AppendNumber(std::wstring& out, int value, int width)
{
    wchar_t digits[16];
    int count = 0;
    unsigned int rest = value < 0 ? 0u : static_cast<unsigned int>(value);
    do
    {
        digits[count++] = static_cast<wchar_t>(L'0' + rest % 10);
        rest /= 10;
    } while (rest != 0 && count < 16);
    for (int pad = count; pad < width; ++pad)
    {
        out += L'0';
    }
    while (count > 0)
    {
        out += digits[--count];
    }
}

} // namespace

std::wstring TxtFormatter::format(const plog::Record& record)
{
    struct tm local = {};
    const __time64_t seconds = record.getTime().time;
    _localtime64_s(&local, &seconds);

    const wchar_t* message = record.getMessage();
    const std::size_t messageLength = std::wcslen(message);
    const std::wstring_view label = GetThreadLabel();

    std::wstring line;
    line.reserve(32 + label.size() + messageLength);
    AppendNumber(line, local.tm_year + 1900, 1);
    line += L'-';
    AppendNumber(line, local.tm_mon + 1, 2);
    line += L'-';
    AppendNumber(line, local.tm_mday, 2);
    line += L' ';
    AppendNumber(line, local.tm_hour, 2);
    line += L':';
    AppendNumber(line, local.tm_min, 2);
    line += L':';
    AppendNumber(line, local.tm_sec, 2);
    line += L'.';
    AppendNumber(line, record.getTime().millitm, 3);
    line += L' ';

    const std::wstring name = SeverityName(static_cast<int>(record.getSeverity()));
    line += name;
    line.append(name.size() < 5 ? 5 - name.size() : 0, L' ');
    line += L' ';

    if ((messageLength == 0 || message[0] != L'[') && !label.empty())
    {
        line += L'[';
        line += label;
        line += L"] ";
    }
    line.append(message, messageLength);
    line += L'\n';
    return line;
}

} // namespace velmar
