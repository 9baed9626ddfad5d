#pragma once
// Checks what the host writes back (render path) against what it was given (capture path): render
// block j of a connection must equal Transform(capture block j - latency), sample by sample. The
// first `latency` render blocks of a connection are the host's initial blocks and are not checked,
// nor is the block answering a capture block that was deliberately sent short.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace simulation
{

// Expected processing of one block: out = f(in), `frames` samples each.
using BlockTransform = std::function<void(const int32_t* in, int32_t* out, size_t frames)>;

class CRenderChecker
{
public:
    CRenderChecker(size_t framesPerBlock, unsigned latencyBlocks, BlockTransform transform);

    // A new client: the block history starts again.
    void BeginConnection();
    // A capture block was sent; `whole` is false when it was sent short on purpose.
    void OnCapture(const int32_t* block, bool whole);
    // A render block arrived with `bytes` bytes.
    void OnRender(const int32_t* block, size_t bytes);

    uint32_t Checked() const { return m_checked; }
    uint32_t Mismatches() const { return m_mismatches; }
    int32_t FirstMismatchBlock() const { return m_firstBlock; }
    int32_t FirstMismatchFrame() const { return m_firstFrame; }

private:
    struct Sent
    {
        std::vector<int32_t> samples;
        bool whole;
    };
    void Mismatch(int32_t frame);

    size_t m_frames;
    unsigned m_latency;
    BlockTransform m_transform;
    std::deque<Sent> m_history; // capture blocks of this connection not yet answered
    uint64_t m_renderInConnection = 0;
    uint64_t m_renderTotal = 0;
    std::vector<int32_t> m_expected;
    uint32_t m_checked = 0;
    uint32_t m_mismatches = 0;
    int32_t m_firstBlock = -1;
    int32_t m_firstFrame = -1;
};

} // namespace simulation
