#include "diagnostics/ColorConsoleAppender.h"

#include "diagnostics/ConsoleColors.h"
#include "platform/SystemApi.h"

#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace plog
{

ColorConsoleAppender<velmar::TxtFormatter>::ColorConsoleAppender()
    : ColorConsoleAppender(std::cerr, _isatty(_fileno(stderr)) != 0)
{
}

ColorConsoleAppender<velmar::TxtFormatter>::ColorConsoleAppender(std::ostream& stream, bool console)
    : m_stream(stream), m_console(console)
{
    if (m_console)
    {
        m_handle = platform::Api().GetStdHandle(STD_ERROR_HANDLE);
        ::CONSOLE_SCREEN_BUFFER_INFO info = {};
        // Without the console's attributes the restore would write garbage: keep grey on black then.
        if (platform::Api().GetConsoleScreenBufferInfo(m_handle, &info))
        {
            m_savedAttributes = info.wAttributes;
        }
    }
}

void ColorConsoleAppender<velmar::TxtFormatter>::write(const Record& record)
{
    const std::wstring line = velmar::TxtFormatter::format(record);

    util::MutexLock lock(m_lock);
    if (m_console)
    {
        const auto& api = platform::Api();
        if (const auto attribute =
                velmar::SeverityConsoleAttribute(static_cast<int>(record.getSeverity()), m_savedAttributes))
        {
            api.SetConsoleTextAttribute(m_handle, *attribute);
        }
        ::DWORD written = 0;
        api.WriteConsoleW(m_handle, line.c_str(), static_cast<::DWORD>(line.size()), &written, nullptr);
        api.SetConsoleTextAttribute(m_handle, m_savedAttributes);
    }
    else
    {
        WriteRedirected(line);
    }
}

void ColorConsoleAppender<velmar::TxtFormatter>::WriteRedirected(const std::wstring& line)
{
    const auto& api = platform::Api();
    const int size = static_cast<int>(line.size());
    const int bytes = api.WideCharToMultiByte(CP_ACP, 0, line.c_str(), size, nullptr, 0, nullptr, nullptr);
    if (bytes > 0)
    {
        std::string text(static_cast<std::size_t>(bytes), '\0');
        api.WideCharToMultiByte(CP_ACP, 0, line.c_str(), size, text.data(), bytes, nullptr, nullptr);
        m_stream << text;
    }
    m_stream << std::flush;
}

} // namespace plog
