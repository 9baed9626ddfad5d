// Sample-format conversions, their clipping and exact round trips, and the mono/stereo helpers.
#include "ReflibLibrary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

using namespace reflib_test;

namespace
{
constexpr std::int32_t kFloat = 0, kPcm16 = 1, kPcm24 = 2, kPcm24In32 = 3, kPcm32 = 4, kDriver = 5;
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

std::vector<std::int32_t> FloatsToWords(const std::vector<float>& values, std::int32_t format)
{
    std::vector<std::int32_t> words(values.size(), 0x5A5A5A5A);
    EXPECT_EQ(
        static_cast<std::int32_t>(values.size()),
        Lib().AudioConvertTo(values.data(), words.data(), static_cast<std::int32_t>(values.size()), format));
    return words;
}
} // namespace

TEST(ReflibFormats, DriverWordsThatAreMultiplesOf256RoundTripExactly)
{
    std::vector<std::int32_t> words = {0,          256,         -256,      kMin32, kMax32 & ~0xFF,
                                       0x12345600, -0x12345600, 0x7FFFFF00};
    for (std::int32_t k = -8388608; k < 8388608; k += 65521) // a spread of 24-bit samples
    {
        words.push_back(k * 256);
    }
    const auto frames = static_cast<std::int32_t>(words.size());
    std::vector<float> samples(words.size());
    ASSERT_EQ(frames, Lib().AudioConvertFrom(words.data(), samples.data(), frames, kDriver));
    EXPECT_EQ(-1.0f, samples[3]);
    EXPECT_EQ(256.0f / 2147483648.0f, samples[1]);
    std::vector<std::int32_t> back(words.size());
    ASSERT_EQ(frames, Lib().AudioConvertTo(samples.data(), back.data(), frames, kDriver));
    EXPECT_EQ(words, back);
}

TEST(ReflibFormats, FloatToIntegerFormatsRoundsAndClips)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {1.0f, -1.0f, 2.5f, -7.0f, 0.5f, nan, 0.0f, -0.25f};
    EXPECT_EQ((std::vector<std::int32_t>{kMax32, kMin32, kMax32, kMin32, 1 << 30, 0, 0, -(1 << 29)}),
              FloatsToWords(values, kDriver));
    EXPECT_EQ(FloatsToWords(values, kDriver), FloatsToWords(values, kPcm32));
    // 24 bits in 4 bytes: written sign-extended, clipped to 24 bits.
    EXPECT_EQ((std::vector<std::int32_t>{8388607, -8388608, 8388607, -8388608, 4194304, 0, 0, -2097152}),
              FloatsToWords(values, kPcm24In32));

    std::vector<std::int16_t> shorts(values.size());
    ASSERT_EQ(8, Lib().AudioConvertTo(values.data(), shorts.data(), 8, kPcm16));
    EXPECT_EQ((std::vector<std::int16_t>{32767, -32768, 32767, -32768, 16384, 0, 0, -8192}), shorts);

    // Ties go to even: 1.5 and 2.5 codes.
    const std::vector<float> ties = {1.5f / 32768.0f, 2.5f / 32768.0f, -1.5f / 32768.0f};
    ASSERT_EQ(3, Lib().AudioConvertTo(ties.data(), shorts.data(), 3, kPcm16));
    EXPECT_EQ(2, shorts[0]);
    EXPECT_EQ(2, shorts[1]);
    EXPECT_EQ(-2, shorts[2]);
}

TEST(ReflibFormats, PackedAnd24BitLayouts)
{
    const std::vector<float> values = {-1.0f / 8388608.0f, 0x123456 / 8388608.0f};
    unsigned char packed[6] = {};
    ASSERT_EQ(2, Lib().AudioConvertTo(values.data(), packed, 2, kPcm24));
    const unsigned char expected[6] = {0xFF, 0xFF, 0xFF, 0x56, 0x34, 0x12};
    EXPECT_EQ(0, std::memcmp(expected, packed, sizeof packed));
    std::vector<float> back(2);
    ASSERT_EQ(2, Lib().AudioConvertFrom(packed, back.data(), 2, kPcm24));
    EXPECT_EQ(values, back);

    // The high byte of a 24-in-32 word is ignored when reading.
    const std::int32_t words[2] = {0x7F000001, static_cast<std::int32_t>(0x00FFFFFF)};
    ASSERT_EQ(2, Lib().AudioConvertFrom(words, back.data(), 2, kPcm24In32));
    EXPECT_EQ(1.0f / 8388608.0f, back[0]);
    EXPECT_EQ(-1.0f / 8388608.0f, back[1]);

    const std::int16_t shorts[2] = {-32768, 16384};
    ASSERT_EQ(2, Lib().AudioConvertFrom(shorts, back.data(), 2, kPcm16));
    EXPECT_EQ((std::vector<float>{-1.0f, 0.5f}), back);

    const float floats[2] = {3.5f, -0.125f};
    ASSERT_EQ(2, Lib().AudioConvertFrom(floats, back.data(), 2, kFloat));
    EXPECT_EQ((std::vector<float>{3.5f, -0.125f}), back);
}

TEST(ReflibFormats, NamesSizesAndBadArguments)
{
    const auto& lib = Lib();
    const std::int32_t bytes[] = {4, 2, 3, 4, 4, 4};
    for (std::int32_t format = 0; format <= 5; ++format)
    {
        const char* name = lib.GetFormatName(format);
        ASSERT_NE(nullptr, name);
        EXPECT_EQ(format, lib.GetFormatFromName(name));
        EXPECT_EQ(bytes[format], lib.GetBytesFromFormat(format));
    }
    EXPECT_EQ(nullptr, lib.GetFormatName(6));
    EXPECT_EQ(nullptr, lib.GetFormatName(-1));
    EXPECT_EQ(-1, lib.GetBytesFromFormat(99));
    EXPECT_EQ(-1, lib.GetFormatFromName("pcm16 "));
    EXPECT_EQ(-1, lib.GetFormatFromName(nullptr));

    float samples[4] = {};
    std::int32_t words[4] = {};
    EXPECT_EQ(-1, lib.AudioConvertFrom(words, samples, 4, 6));
    EXPECT_EQ(-1, lib.AudioConvertTo(samples, words, -1, kDriver));
    EXPECT_EQ(-1, lib.AudioConvertTo(nullptr, words, 4, kDriver));
    EXPECT_EQ(-1, lib.AudioConvertFrom(words, nullptr, 4, kDriver));
    EXPECT_EQ(0, lib.AudioConvertFrom(nullptr, nullptr, 0, kDriver));
    EXPECT_EQ(-1, lib.StereoToMono(nullptr, samples, 2));
    EXPECT_EQ(-1, lib.MonoToStereo_Planar(samples, samples, nullptr, 2));
    EXPECT_EQ(-1, lib.AudioMonoFromLiveStereo(words, samples, 2, 42));
    EXPECT_EQ(-1, lib.AudioMonoToLiveStereo(samples, words, -3, kDriver));
}

TEST(ReflibFormats, MonoStereoHelpersAverageAndSpread)
{
    const auto& lib = Lib();
    const float stereo[6] = {1.0f, 0.0f, -0.5f, -0.25f, 0.75f, 0.75f};
    float mono[3] = {};
    ASSERT_EQ(3, lib.StereoToMono(stereo, mono, 3));
    EXPECT_EQ((std::vector<float>{0.5f, -0.375f, 0.75f}), std::vector<float>(mono, mono + 3));

    // In place: the mono samples occupy the start of the stereo buffer.
    float buffer[6] = {0.1f, 0.2f, 0.3f, 9.0f, 9.0f, 9.0f};
    ASSERT_EQ(3, lib.MonoToStereo(buffer, buffer, 3));
    EXPECT_EQ((std::vector<float>{0.1f, 0.1f, 0.2f, 0.2f, 0.3f, 0.3f}),
              std::vector<float>(buffer, buffer + 6));

    const float left[2] = {1.0f, 0.5f}, right[2] = {0.0f, -0.5f};
    ASSERT_EQ(2, lib.StereoToMono_Planar(left, right, mono, 2));
    EXPECT_EQ(0.5f, mono[0]);
    EXPECT_EQ(0.0f, mono[1]);
    float l[2] = {}, r[2] = {};
    ASSERT_EQ(2, lib.MonoToStereo_Planar(left, l, r, 2));
    EXPECT_EQ((std::vector<float>{1.0f, 0.5f}), std::vector<float>(r, r + 2));

    const std::int16_t live[4] = {16384, -16384, 32767, 32767};
    ASSERT_EQ(2, lib.AudioMonoFromLiveStereo(live, mono, 2, kPcm16));
    EXPECT_EQ(0.0f, mono[0]);
    EXPECT_EQ(32767.0f / 32768.0f, mono[1]);
    const float out[2] = {0.5f, -2.0f};
    std::int32_t words[4] = {};
    ASSERT_EQ(2, lib.AudioMonoToLiveStereo(out, words, 2, kDriver));
    EXPECT_EQ((std::vector<std::int32_t>{1 << 30, 1 << 30, kMin32, kMin32}),
              std::vector<std::int32_t>(words, words + 4));
}
