#pragma once
#include <plog/Record.h>

#include <cstdint>
#include <string>

namespace plog
{
namespace detail
{

// What the asynchronous ring keeps of a record.
struct AsyncEntry
{
    std::int64_t time = 0;
    std::uint16_t millitm = 0;
    std::int32_t severity = 0;
    std::uint32_t tid = 0;
    std::uint64_t line = 0;
    const char* file = nullptr; // file texts are static and not copied
    std::string func;
    std::wstring message;
};

// A record that replays an entry taken out of the ring: every accessor answers from the entry, so the
// record keeps the time and thread of its creation. Lives only while the entry is handed to a logger.
class ReplayRecord : public Record
{
public:
    explicit ReplayRecord(const AsyncEntry& entry)
        : Record(static_cast<Severity>(entry.severity), "", static_cast<size_t>(entry.line), "", nullptr, 0),
          m_entry(entry), m_time()
    {
        m_time.time = static_cast<decltype(m_time.time)>(entry.time);
        m_time.millitm = entry.millitm;
    }

    const util::Time& getTime() const override { return m_time; }
    Severity getSeverity() const override { return static_cast<Severity>(m_entry.severity); }
    unsigned int getTid() const override { return m_entry.tid; }
    size_t getLine() const override { return static_cast<size_t>(m_entry.line); }
    const util::nchar* getMessage() const override { return m_entry.message.c_str(); }
    const char* getFunc() const override { return m_entry.func.c_str(); }
    const char* getFile() const override { return m_entry.file != nullptr ? m_entry.file : ""; }

private:
    const AsyncEntry& m_entry;
    util::Time m_time;
};

} // namespace detail
} // namespace plog
