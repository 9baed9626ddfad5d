#pragma once
// The deterministic capture signal of a device: one signed 32-bit sample per frame, a function of the
// device's salt and the frame number, with the low 8 bits zero so that a round trip through a float
// in [-1, 1) is exact. Every block differs from its neighbours, so a lost, repeated or reordered block
// shows up in the render check.
#include <cstddef>
#include <cstdint>

namespace simulation
{

class CCaptureSignal
{
public:
    explicit CCaptureSignal(uint32_t salt) : m_salt(salt) {}

    static int32_t Sample(uint32_t salt, uint64_t frame);
    int32_t Sample(uint64_t frame) const { return Sample(m_salt, frame); }
    void Fill(uint64_t firstFrame, int32_t* out, size_t frames) const;

private:
    uint32_t m_salt;
};

} // namespace simulation
