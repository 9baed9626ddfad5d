#pragma once
// The console appender of the program: records in the TxtFormatter layout on standard error, coloured
// by severity when standard error is a console, as active-code-page bytes through std::cerr otherwise.
#include "diagnostics/TxtFormatter.h"

#include <plog/Appenders/ColorConsoleAppender.h>
#include <plog/Appenders/IAppender.h>

#include <windows.h>

#include <iosfwd>

namespace plog
{

template <> class ColorConsoleAppender<velmar::TxtFormatter> : public IAppender
{
public:
    // Standard error: a console when _isatty says so; then the handle and the current attributes are kept.
    ColorConsoleAppender();
    // An explicit target: when console is true, the standard-error console handle is written to and
    // `stream` is unused; otherwise `stream` receives the bytes.
    ColorConsoleAppender(std::ostream& stream, bool console);
    ColorConsoleAppender(const ColorConsoleAppender&) = delete;
    ColorConsoleAppender& operator=(const ColorConsoleAppender&) = delete;

    void write(const Record& record) override;

    bool IsConsole() const noexcept { return m_console; }
    ::WORD SavedAttributes() const noexcept { return m_savedAttributes; }

private:
    void WriteRedirected(const std::wstring& line);

    util::Mutex m_lock; // a critical section around colour, write and restore
    std::ostream& m_stream;
    bool m_console;
    ::HANDLE m_handle = nullptr;
    ::WORD m_savedAttributes = 0x07;
};

} // namespace plog
