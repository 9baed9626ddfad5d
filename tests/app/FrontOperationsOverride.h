#pragma once
#include "app/FrontOperations.h"

#include <cstdint>
#include <string>
#include <vector>

// Replaces every operation of the main routine with a recorder for the lifetime of the object and
// restores the real table afterwards. Each call is written to `calls` as one line.
class CRecordingOperations
{
public:
    CRecordingOperations();
    ~CRecordingOperations();
    CRecordingOperations(const CRecordingOperations&) = delete;
    CRecordingOperations& operator=(const CRecordingOperations&) = delete;

    std::vector<std::wstring> calls;
    std::wstring out;
    std::wstring err;

    // What the recorded operations answer.
    bool installResult = true;
    std::uint32_t installReboot = 0;
    int addResult = 0;
    int removeResult = 0;
    bool registerResult = true;
    bool executeResult = true;
    int processingResult = 0;

    // What the last processing run and service operation were given.
    ProcessingRunOptions processing;
    std::wstring serviceLibrary;
    CTraceProvider* serviceProvider = nullptr;

private:
    FrontOperations m_saved;
};
