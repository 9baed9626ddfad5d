// The DSP chain against an independent reference computation, and the AddAudio/GetAudio queue.
#include "ReflibLibrary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

using namespace reflib_test;

namespace
{
constexpr std::int32_t kChunk = 480;
constexpr double kRate = 48000.0;

// Test signal: a mix of two sines and a decaying click, deterministic.
std::vector<float> Signal(std::size_t frames)
{
    std::vector<float> signal(frames);
    for (std::size_t n = 0; n < frames; ++n)
    {
        const double t = static_cast<double>(n) / kRate;
        signal[n] = static_cast<float>(0.4 * std::sin(2.0 * std::numbers::pi * 440.0 * t) +
                                       0.3 * std::sin(2.0 * std::numbers::pi * 9000.0 * t) +
                                       (n % 997 == 0 ? 0.25 : 0.0));
    }
    return signal;
}

// The reference: RBJ cookbook coefficients, direct form I in double, then the gain, rounded once.
struct Reference
{
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, gain = 1;
    bool filter = false;

    static Reference Make(const char* type, double f0, double q, double dbGain, double gainDb)
    {
        Reference r;
        r.gain = std::pow(10.0, gainDb / 20.0);
        const std::string kind = type;
        if (kind == "bypass")
            return r;
        r.filter = true;
        const double w0 = 2.0 * std::numbers::pi * f0 / kRate;
        const double cs = std::cos(w0), alpha = std::sin(w0) / (2.0 * q);
        double b[3], a[3];
        if (kind == "lowpass")
        {
            b[0] = (1.0 - cs) / 2.0, b[1] = 1.0 - cs, b[2] = (1.0 - cs) / 2.0;
            a[0] = 1.0 + alpha, a[1] = -2.0 * cs, a[2] = 1.0 - alpha;
        }
        else if (kind == "highpass")
        {
            b[0] = (1.0 + cs) / 2.0, b[1] = -(1.0 + cs), b[2] = (1.0 + cs) / 2.0;
            a[0] = 1.0 + alpha, a[1] = -2.0 * cs, a[2] = 1.0 - alpha;
        }
        else
        {
            const double A = std::pow(10.0, dbGain / 40.0);
            b[0] = 1.0 + alpha * A, b[1] = -2.0 * cs, b[2] = 1.0 - alpha * A;
            a[0] = 1.0 + alpha / A, a[1] = -2.0 * cs, a[2] = 1.0 - alpha / A;
        }
        r.b0 = b[0] / a[0], r.b1 = b[1] / a[0], r.b2 = b[2] / a[0], r.a1 = a[1] / a[0], r.a2 = a[2] / a[0];
        return r;
    }

    std::vector<float> Run(const std::vector<float>& x, std::size_t delay = 0) const
    {
        std::vector<float> y(x.size());
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (std::size_t n = 0; n < x.size(); ++n)
        {
            double v = n >= delay ? static_cast<double>(x[n - delay]) : 0.0;
            if (filter)
            {
                const double out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
                x2 = x1, x1 = v, y2 = y1, y1 = out;
                v = out;
            }
            y[n] = static_cast<float>(gain * v);
        }
        return y;
    }
};

std::vector<float> ProcessChunks(VelmarHandle process, const std::vector<float>& input)
{
    const auto& lib = Lib();
    std::vector<float> output(input.size());
    for (std::size_t offset = 0; offset + kChunk <= input.size(); offset += kChunk)
    {
        float* in = lib.GetBufferIn(process);
        float* out = lib.GetBufferOut(process);
        std::memcpy(in, input.data() + offset, kChunk * sizeof(float));
        EXPECT_EQ(0, lib.ProcessAudio(process, in, out));
        std::memcpy(output.data() + offset, out, kChunk * sizeof(float));
    }
    return output;
}

void ExpectBitwiseEqual(const std::vector<float>& expected, const std::vector<float>& actual)
{
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t n = 0; n < expected.size(); ++n)
    {
        ASSERT_EQ(0, std::memcmp(&expected[n], &actual[n], sizeof(float)))
            << "frame " << n << ": " << expected[n] << " vs " << actual[n];
    }
}

class ReflibDsp : public ::testing::Test
{
protected:
    CTempDirectory m_dir;
    CProcessRun m_run{m_dir.Utf8()};

    void Set(const std::string& settings)
    {
        std::int32_t status = -1;
        m_run.Json("{\"set\":" + settings + "}", &status);
        ASSERT_EQ(0, status) << settings;
    }
};
} // namespace

TEST_F(ReflibDsp, DefaultSettingsPassEverySampleUnchanged)
{
    std::vector<float> input = Signal(kChunk * 3);
    input[1] = 3.0f;                                     // above full scale
    input[2] = std::numeric_limits<float>::denorm_min(); // tiny
    input[3] = -0.0f;
    ExpectBitwiseEqual(input, ProcessChunks(m_run.Handle(), input));
    EXPECT_EQ(0, Lib().GetEstimatedDelay(m_run.Handle()));

    // The whole driver path: block words in, block words out, exactly.
    std::vector<std::int32_t> words(kChunk);
    for (std::int32_t n = 0; n < kChunk; ++n)
    {
        words[n] = (n * 7919 - 1900000) * 256;
    }
    const auto& lib = Lib();
    ASSERT_EQ(kChunk, lib.AudioConvertFrom(words.data(), lib.GetBufferIn(m_run.Handle()), kChunk, 5));
    ASSERT_EQ(0, lib.ProcessAudio(m_run.Handle(), lib.GetBufferIn(m_run.Handle()),
                                  lib.GetBufferOut(m_run.Handle())));
    std::vector<std::int32_t> back(kChunk);
    ASSERT_EQ(kChunk, lib.AudioConvertTo(lib.GetBufferOut(m_run.Handle()), back.data(), kChunk, 5));
    EXPECT_EQ(words, back);
}

TEST_F(ReflibDsp, GainAndFiltersMatchTheReferenceExactly)
{
    const std::vector<float> input = Signal(kChunk * 4);
    Set(R"({"gain_db":-6.5})");
    ExpectBitwiseEqual(Reference::Make("bypass", 0, 1, 0, -6.5).Run(input),
                       ProcessChunks(m_run.Handle(), input));

    Set(R"({"gain_db":0,"filter_type":"lowpass","filter_frequency":2000,"filter_q":0.7071})");
    ExpectBitwiseEqual(Reference::Make("lowpass", 2000, 0.7071, 0, 0).Run(input),
                       ProcessChunks(m_run.Handle(), input));

    Set(R"({"gain_db":3,"filter_type":"highpass","filter_frequency":500,"filter_q":2})");
    ExpectBitwiseEqual(Reference::Make("highpass", 500, 2, 0, 3).Run(input),
                       ProcessChunks(m_run.Handle(), input));

    Set(R"({"gain_db":0,"filter_type":"peaking","filter_frequency":1000,"filter_q":1,"filter_gain_db":6})");
    ExpectBitwiseEqual(Reference::Make("peaking", 1000, 1, 6, 0).Run(input),
                       ProcessChunks(m_run.Handle(), input));
}

TEST_F(ReflibDsp, FiltersHaveTheirExpectedResponse)
{
    // Independent of the formulas: the steady-state level of a sine at the filter's own frequency.
    auto level = [&](double frequency)
    {
        std::vector<float> sine(kChunk * 20);
        for (std::size_t n = 0; n < sine.size(); ++n)
        {
            sine[n] = static_cast<float>(0.25 * std::sin(2.0 * std::numbers::pi * frequency * n / kRate));
        }
        const auto out = ProcessChunks(m_run.Handle(), sine);
        float peak = 0;
        for (std::size_t n = out.size() - kChunk * 4; n < out.size(); ++n)
        {
            peak = std::max(peak, std::fabs(out[n]));
        }
        return peak / 0.25f;
    };
    Set(R"({"filter_type":"peaking","filter_frequency":1000,"filter_q":1,"filter_gain_db":6})");
    EXPECT_NEAR(std::pow(10.0, 6.0 / 20.0), level(1000.0), 0.01);
    Set(R"({"filter_type":"lowpass","filter_frequency":1000,"filter_q":0.7071})");
    EXPECT_NEAR(1.0, level(50.0), 0.01);
    EXPECT_LT(level(12000.0), 0.02);
    Set(R"({"filter_type":"highpass","filter_frequency":1000,"filter_q":0.7071})");
    EXPECT_LT(level(50.0), 0.01);
}

TEST_F(ReflibDsp, DelayShiftsTheSignalAcrossChunksAndIsReported)
{
    const std::vector<float> input = Signal(kChunk * 3);
    Set(R"({"delay_frames":700})");
    EXPECT_EQ(700, Lib().GetEstimatedDelay(m_run.Handle()));
    ExpectBitwiseEqual(Reference::Make("bypass", 0, 1, 0, 0).Run(input, 700),
                       ProcessChunks(m_run.Handle(), input));
}

TEST_F(ReflibDsp, MetersShowTheLastChunksPeaks)
{
    Set(R"({"gain_db":-20})");
    std::vector<float> input(kChunk, 0.0f);
    input[17] = -0.5f;
    ProcessChunks(m_run.Handle(), input);
    const auto answer = nlohmann::json::parse(m_run.Json(R"({"get":"meters"})"));
    EXPECT_FLOAT_EQ(0.5f, answer["get"]["meters"]["input_peak"].get<float>());
    EXPECT_FLOAT_EQ(0.05f, answer["get"]["meters"]["output_peak"].get<float>());
    EXPECT_EQ(1, answer["get"]["meters"]["blocks"].get<int>());
}

TEST_F(ReflibDsp, QueueProcessesWholeChunksInOrder)
{
    const auto& lib = Lib();
    const VelmarHandle process = m_run.Handle();
    Set(R"({"gain_db":-6})");
    const std::vector<float> input = Signal(kChunk * 2);
    const std::vector<float> expected = Reference::Make("bypass", 0, 1, 0, -6).Run(input);

    ASSERT_EQ(100, lib.AddAudio(process, input.data(), 100, 0));
    EXPECT_EQ(0, lib.GetOutputCount(process));
    ASSERT_EQ(kChunk + 380, lib.AddAudio(process, input.data() + 100, kChunk + 380, 0));
    EXPECT_EQ(kChunk * 2, lib.GetOutputCount(process));
    std::vector<float> output(kChunk * 2);
    ASSERT_EQ(300, lib.GetAudio(process, output.data(), 300, 0));
    ASSERT_EQ(kChunk * 2 - 300, lib.GetAudio(process, output.data() + 300, kChunk * 2, 0));
    ExpectBitwiseEqual(expected, output);
    EXPECT_EQ(0, lib.GetAudio(process, output.data(), 10, 0));

    // Padding is processed silence.
    ASSERT_EQ(kChunk, lib.AddPadAudio(process, kChunk));
    ASSERT_EQ(kChunk, lib.GetAudio(process, output.data(), kChunk, 0));
    EXPECT_EQ(0.0f, output[0]);

    // Full queue: refused whole.
    const std::int32_t maxPacket = lib.GetMaxPacketFrame(process);
    ASSERT_EQ(kChunk * 8, maxPacket);
    EXPECT_EQ(maxPacket, lib.AddPadAudio(process, maxPacket));
    EXPECT_EQ(maxPacket, lib.AddPadAudio(process, maxPacket));
    EXPECT_EQ(-1, lib.AddPadAudio(process, kChunk));
    EXPECT_EQ(kChunk * 16, lib.GetOutputCount(process));
    EXPECT_EQ(-1, lib.AddAudio(process, input.data(), maxPacket + 1, 0));
    EXPECT_EQ(-1, lib.AddAudio(process, nullptr, 10, 0));
    EXPECT_EQ(-1, lib.AddAudio(process, input.data(), 10, 17));
    EXPECT_EQ(-1, lib.GetAudio(process, output.data(), -1, 0));
    EXPECT_EQ(-1, lib.GetAudio(0, output.data(), 10, 0));
}
