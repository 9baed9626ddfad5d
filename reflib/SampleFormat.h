#pragma once
// Sample formats of the library's interface and their conversion to and from float.
//
// Scale: float 1.0 is full scale, that is 2^15 (16-bit), 2^23 (24-bit) or 2^31 (32-bit and the
// driver's block format 5). Towards integers a value is multiplied by that scale in double
// precision, rounded to nearest (ties to even), and clipped to the integer's range, so +1.0 gives
// the largest positive code (for example INT32_MAX) and values beyond +-1.0 saturate; NaN gives 0.
// From integers every code maps exactly (code / scale). Format 5 therefore round-trips every 32-bit
// word that is a multiple of 256 and fits in 32 bits (a 24-bit sample in the upper three bytes).
//   0 "FLOAT32"   float, copied unchanged
//   1 "PCM16"     signed 16-bit, 2 bytes
//   2 "PCM24"     signed 24-bit, 3 bytes little endian
//   3 "PCM24_32"  signed 24-bit in the low three bytes of 4 (read: the high byte is ignored; written
//                 sign-extended)
//   4 "PCM32"     signed 32-bit
//   5 "DRIVER32"  the driver's block format: one signed 32-bit word per frame (as 4)
#include <cstddef>
#include <cstdint>

namespace velmar::reflib
{
constexpr std::int32_t kFormatFloat32 = 0;
constexpr std::int32_t kFormatPcm16 = 1;
constexpr std::int32_t kFormatPcm24Packed = 2;
constexpr std::int32_t kFormatPcm24In32 = 3;
constexpr std::int32_t kFormatPcm32 = 4;
constexpr std::int32_t kFormatDriverBlock = 5;

bool IsKnownFormat(std::int32_t format);
// Bytes of one sample, -1 for an unknown format.
std::int32_t BytesPerSample(std::int32_t format);
// The format's name, nullptr for an unknown format.
const char* FormatName(std::int32_t format);
// The format of a name (exact match), -1 for an unknown name or nullptr.
std::int32_t FormatFromName(const char* name);

// One sample at `bytes`.
float ReadSample(const unsigned char* bytes, std::int32_t format);
void WriteSample(float value, unsigned char* bytes, std::int32_t format);

// `count` samples; the format must be known (checked by the callers).
void ConvertToFloat(const void* source, float* destination, std::size_t count, std::int32_t format);
void ConvertFromFloat(const float* source, void* destination, std::size_t count, std::int32_t format);
} // namespace velmar::reflib
