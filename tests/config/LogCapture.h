#pragma once
// Captures what the program logs through plog::Logger<0> (maximum severity DEBUG) for assertions.
#include <mutex>
#include <string>
#include <vector>

#include <plog/Appenders/IAppender.h>

struct CapturedLine
{
    int severity;
    std::wstring message;
};

class CLogCapture : public plog::IAppender
{
public:
    // The capture of this test binary; registers it with plog::init<0> on first use.
    static CLogCapture& Instance();

    void write(const plog::Record& record) override;
    std::vector<CapturedLine> Lines() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedLine> m_lines;
};
