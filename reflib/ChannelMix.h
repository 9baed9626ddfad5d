#pragma once
// Mono/stereo helpers. Mono from stereo is the mean of the two channels, 0.5 * (left + right); stereo
// from mono copies the sample to both channels. Interleaved buffers hold left, right, left, right...
// The interleaved versions work in place (the mono buffer may be the start of the stereo buffer).
#include <cstddef>
#include <cstdint>

namespace velmar::reflib
{
void MixStereoToMono(const float* stereo, float* mono, std::size_t frames);
void SpreadMonoToStereo(const float* mono, float* stereo, std::size_t frames);
void MixPlanarToMono(const float* left, const float* right, float* mono, std::size_t frames);
void SpreadMonoToPlanar(const float* mono, float* left, float* right, std::size_t frames);
// Interleaved stereo in a sample format (SampleFormat.h) to and from float mono.
void MixFormattedStereoToMono(const void* stereo, float* mono, std::size_t frames, std::int32_t format);
void SpreadMonoToFormattedStereo(const float* mono, void* stereo, std::size_t frames, std::int32_t format);
} // namespace velmar::reflib
