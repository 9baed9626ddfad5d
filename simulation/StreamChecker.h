#pragma once
// Checks the render stream the host writes back against the capture stream it was given: render frame
// n of a connection must equal gain x capture frame (n - latency - delay), sample by sample, where the
// latency is the host's initial blocks (whole blocks) and gain and delay are the expectation. The
// check starts again with each connection and with each new expectation: frames whose source was
// captured before that point, or lies before the start of the stream, are not judged (the host's
// delay line holds history the check does not know), nor are frames of a capture block that was
// deliberately sent short. No allocation after construction.
#include "simulation/StreamExpectation.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simulation
{

class CStreamChecker
{
public:
    CStreamChecker(size_t framesPerBlock, unsigned latencyBlocks);

    // A new client: the stream starts again.
    void BeginConnection();
    // From the next block on, the host is judged against this expectation.
    void SetExpectation(const StreamExpectation& expectation);
    const StreamExpectation& Expectation() const { return m_expectation; }
    // A capture block was sent; `whole` is false when it was sent short on purpose.
    void OnCapture(const int32_t* block, bool whole);
    // A render block arrived with `bytes` bytes.
    void OnRender(const int32_t* block, size_t bytes);
    // Forgets the figures (not the stream).
    void ResetFigures();

    uint32_t Checked() const { return m_checked; }
    uint32_t Mismatches() const { return m_mismatches; }
    int32_t FirstMismatchBlock() const { return m_firstBlock; }
    int32_t FirstMismatchFrame() const { return m_firstFrame; }

private:
    void Mismatch(int32_t frame);
    int32_t Expected(int32_t captured) const;

    size_t m_frames;
    unsigned m_latencyBlocks;
    StreamExpectation m_expectation;
    // The capture stream of this connection, the last `m_ring.size()` frames.
    std::vector<int32_t> m_ring;
    std::vector<uint8_t> m_judged; // per frame of the ring: may be judged
    uint64_t m_mask = 0;
    uint64_t m_captured = 0;     // capture frames sent in this connection
    uint64_t m_renderBlocks = 0; // render blocks received in this connection
    uint64_t m_validFrom = 0;    // first capture frame the current expectation judges
    uint64_t m_renderTotal = 0;  // render blocks since the figures were reset
    uint32_t m_checked = 0;
    uint32_t m_mismatches = 0;
    int32_t m_firstBlock = -1;
    int32_t m_firstFrame = -1;
};

} // namespace simulation
