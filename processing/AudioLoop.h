#pragma once
// The body of an instance thread: passes that each create a library instance from the current
// configuration, then open the driver channel and stream chunk by chunk (write the previous processed
// chunk, read the next, convert it, process it) until the instance stops, restarts or the driver
// goes away. Every step is a trace activity.
#include <cstdint>
#include <vector>

class CInstance;
class TraceActivity;

class CAudioLoop
{
public:
    // Reads the chunk size, labels the thread and allocates the audio buffer (zeroed).
    explicit CAudioLoop(CInstance& instance);

    // Runs passes until the stop flag is set (or the registry key cannot be watched).
    void Run();

private:
    // One pass: creation, audio phases, teardown. False when the thread must end at once.
    bool RunPass(const TraceActivity& thread);
    // One opening of the driver and its chunk loop.
    void RunPhase(const TraceActivity& loop, class CProcessingInstance& processing,
                  class CEvent& registryEvent, float* input, float* output);
    // Waits up to one second for a stop or restart.
    void WaitBeforeRetry();

    CInstance& m_instance;
    std::int32_t m_chunk;
    std::vector<std::int32_t> m_audio; // one frame of the driver's format per element
};
