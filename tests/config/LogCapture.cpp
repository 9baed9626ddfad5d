#include "LogCapture.h"

#include <plog/Init.h>
#include <plog/Logger.h>

CLogCapture& CLogCapture::Instance()
{
    static CLogCapture capture;
    static const bool registered = []
    {
        plog::init<0>(static_cast<plog::Severity>(10), &capture);
        return true;
    }();
    (void)registered;
    return capture;
}

void CLogCapture::write(const plog::Record& record)
{
    std::lock_guard lock(m_mutex);
    m_lines.push_back({static_cast<int>(record.getSeverity()), record.getMessage()});
}

std::vector<CapturedLine> CLogCapture::Lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

void CLogCapture::Clear()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}
