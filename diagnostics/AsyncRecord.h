#pragma once
// The record of VLOG_ASYNC: one per thread, reused for every call, so that the audio path's log call
// builds no plog::Record (whose constructor asks the C runtime for the time zone: several µs under
// Wine) and allocates nothing. It is still a plog::Record with plog's stream operators; its text goes
// into a fixed buffer of the thread (longer texts are cut), its time comes from the system clock
// directly.
//
//   VLOG_ASYNC(velmar::LogSeverity::Info) << L"Failed to read audio from driver for " << name;
#include <plog/Record.h>

#include <cstddef>
#include <streambuf>

namespace plog
{
namespace detail
{

// A wide stream buffer over a fixed array; what does not fit is dropped.
class FixedWideBuffer : public std::wstreambuf
{
public:
    static constexpr std::size_t kCapacity = 512;

    FixedWideBuffer() noexcept { Rewind(); }
    void Rewind() noexcept { setp(m_text, m_text + kCapacity - 1); }
    // The text written since Rewind, NUL-terminated.
    const wchar_t* Text() noexcept
    {
        *pptr() = L'\0';
        return m_text;
    }

protected:
    int_type overflow(int_type) override { return traits_type::eof(); }

private:
    wchar_t m_text[kCapacity];
};

class AsyncRecord : public Record
{
public:
    // The calling thread's record, rewound and stamped with the severity and the current time.
    static AsyncRecord& Next(Severity severity);

    const util::Time& getTime() const override { return m_time; }
    Severity getSeverity() const override { return m_severity; }
    const util::nchar* getMessage() const override { return m_buffer.Text(); }
    const char* getFunc() const override { return ""; }
    const char* getFile() const override { return ""; }

private:
    AsyncRecord();
    static util::nostream& AttachBuffer(util::nostream& stream);

    Severity m_severity = none;
    util::Time m_time{};
    mutable FixedWideBuffer m_buffer;
};

} // namespace detail
} // namespace plog
