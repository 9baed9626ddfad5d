#include "reflib/ChannelMix.h"

#include "reflib/SampleFormat.h"

namespace velmar::reflib
{
void MixStereoToMono(const float* stereo, float* mono, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i)
    {
        mono[i] = 0.5f * (stereo[2 * i] + stereo[2 * i + 1]);
    }
}

void SpreadMonoToStereo(const float* mono, float* stereo, std::size_t frames)
{
    // Backwards, so that the mono samples are read before the stereo writes reach them.
    for (std::size_t i = frames; i-- > 0;)
    {
        const float sample = mono[i];
        stereo[2 * i] = sample;
        stereo[2 * i + 1] = sample;
    }
}

void MixPlanarToMono(const float* left, const float* right, float* mono, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i)
    {
        mono[i] = 0.5f * (left[i] + right[i]);
    }
}

void SpreadMonoToPlanar(const float* mono, float* left, float* right, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i)
    {
        const float sample = mono[i];
        left[i] = sample;
        right[i] = sample;
    }
}

void MixFormattedStereoToMono(const void* stereo, float* mono, std::size_t frames, std::int32_t format)
{
    const auto* bytes = static_cast<const unsigned char*>(stereo);
    const auto stride = static_cast<std::size_t>(BytesPerSample(format));
    for (std::size_t i = 0; i < frames; ++i)
    {
        const float left = ReadSample(bytes + 2 * i * stride, format);
        const float right = ReadSample(bytes + (2 * i + 1) * stride, format);
        mono[i] = 0.5f * (left + right);
    }
}

void SpreadMonoToFormattedStereo(const float* mono, void* stereo, std::size_t frames, std::int32_t format)
{
    auto* bytes = static_cast<unsigned char*>(stereo);
    const auto stride = static_cast<std::size_t>(BytesPerSample(format));
    for (std::size_t i = frames; i-- > 0;)
    {
        const float sample = mono[i];
        WriteSample(sample, bytes + 2 * i * stride, format);
        WriteSample(sample, bytes + (2 * i + 1) * stride, format);
    }
}
} // namespace velmar::reflib
