#pragma once
// A second-order IIR section (biquad) with the coefficient formulas of R. Bristow-Johnson's
// "Audio EQ Cookbook". With w0 = 2*pi*f0/fs, alpha = sin(w0)/(2*Q), A = 10^(gainDb/40):
//   low-pass:  b = ((1-cos w0)/2, 1-cos w0, (1-cos w0)/2),   a = (1+alpha, -2 cos w0, 1-alpha)
//   high-pass: b = ((1+cos w0)/2, -(1+cos w0), (1+cos w0)/2), a = (1+alpha, -2 cos w0, 1-alpha)
//   peaking:   b = (1+alpha*A, -2 cos w0, 1-alpha*A),         a = (1+alpha/A, -2 cos w0, 1-alpha/A)
// all five divided by a0. Processing is direct form I in double precision:
//   y[n] = b0*x[n] + b1*x[n-1] + b2*x[n-2] - a1*y[n-1] - a2*y[n-2]   (evaluated left to right)
#include <cstdint>

namespace velmar::reflib
{
enum class FilterType : std::int32_t
{
    Bypass,
    LowPass,
    HighPass,
    Peaking,
};

struct CBiquadCoefficients
{
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;

    bool operator==(const CBiquadCoefficients&) const = default;
};

// Bypass gives the identity (1, 0, 0, 0, 0).
CBiquadCoefficients DesignBiquad(FilterType type, double frequency, double q, double gainDb,
                                 double sampleRate);

class CBiquad
{
public:
    void Reset() { m_x1 = m_x2 = m_y1 = m_y2 = 0.0; }
    double Process(const CBiquadCoefficients& c, double x)
    {
        const double y = c.b0 * x + c.b1 * m_x1 + c.b2 * m_x2 - c.a1 * m_y1 - c.a2 * m_y2;
        m_x2 = m_x1;
        m_x1 = x;
        m_y2 = m_y1;
        m_y1 = y;
        return y;
    }

private:
    double m_x1 = 0.0;
    double m_x2 = 0.0;
    double m_y1 = 0.0;
    double m_y2 = 0.0;
};
} // namespace velmar::reflib
