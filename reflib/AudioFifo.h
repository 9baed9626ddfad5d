#pragma once
// The queue behind AddAudio/GetAudio: input samples collect until a whole chunk is there, each whole
// chunk is processed at once and its result queued for reading. Not synchronised (the owner locks).
#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

namespace velmar::reflib
{
class CAudioFifo
{
public:
    using ProcessChunk = std::function<void(const float* input, float* output)>;

    // `capacity`: most frames the output queue holds.
    CAudioFifo(std::size_t chunkFrames, std::size_t capacity);

    // Appends `frames` samples (nullptr: silence). Returns false and adds nothing when the processed
    // output would no longer fit.
    bool Add(const float* samples, std::size_t frames, const ProcessChunk& process);
    std::size_t Available() const { return m_output.size(); }
    // Moves up to `frames` processed samples out; returns how many.
    std::size_t Take(float* destination, std::size_t frames);

private:
    const std::size_t m_chunkFrames;
    const std::size_t m_capacity;
    std::vector<float> m_pending;
    std::vector<float> m_processed;
    std::deque<float> m_output;
};
} // namespace velmar::reflib
