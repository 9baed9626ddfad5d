#pragma once
// The one stream the host runs: the driver's blocks in the library's terms.
#include <cstdint>

// Frames per second of the driver's stream; a library of another rate is refused.
constexpr std::int32_t kStreamSampleRate = 48000;
// The driver's block format in the library's terms: one signed 32-bit word per frame.
constexpr std::int32_t kDriverFormat = 5;
