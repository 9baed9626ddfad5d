#include "diagnostics/AsyncRecord.h"

#include <memory>

#include <windows.h>

namespace plog
{
namespace detail
{

namespace
{
thread_local AsyncRecord* t_current = nullptr;

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;
} // namespace

AsyncRecord::AsyncRecord() : Record(none, "", 0, "", nullptr, 1)
{
    // The base's stream writes into this record's fixed buffer from now on; the time zone fields of
    // the base's time (the one expensive call) are kept for every later stamp.
    m_time = Record::getTime();
    t_current = this;
    *this << &AttachBuffer;
}

util::nostream& AsyncRecord::AttachBuffer(util::nostream& stream)
{
    stream.rdbuf(&t_current->m_buffer);
    return stream;
}

AsyncRecord& AsyncRecord::Next(Severity severity)
{
    // Each thread's record is owned by a fiber-local slot whose callback destroys it when the thread
    // ends. (A thread_local object with a destructor is destroyed after MinGW has already released the
    // thread's storage.)
    static const DWORD slot =
        FlsAlloc([](void* owned) { std::unique_ptr<AsyncRecord>(static_cast<AsyncRecord*>(owned)); });
    auto* current = static_cast<AsyncRecord*>(FlsGetValue(slot));
    if (current == nullptr)
    {
        std::unique_ptr<AsyncRecord> created(new AsyncRecord());
        FlsSetValue(slot, created.get());
        current = created.release();
    }
    AsyncRecord& record = *current;
    record.m_severity = severity;
    record.m_buffer.Rewind();
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks =
        ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - kUnixEpoch;
    record.m_time.time = static_cast<decltype(record.m_time.time)>(ticks / 10000000ULL);
    record.m_time.millitm = static_cast<unsigned short>((ticks / 10000ULL) % 1000ULL);
    return record;
}

} // namespace detail
} // namespace plog
