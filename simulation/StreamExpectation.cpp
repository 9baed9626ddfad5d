#include "simulation/StreamExpectation.h"

#include <cmath>
#include <cwchar>
#include <sstream>

namespace simulation
{

namespace
{

std::wstring_view Trim(std::wstring_view text)
{
    while (!text.empty() && text.front() == L' ')
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == L' ')
    {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseNumber(std::wstring_view text, double& value)
{
    const std::wstring copy(text);
    if (copy.empty())
    {
        return false;
    }
    wchar_t* end = nullptr;
    value = std::wcstod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(value);
}

} // namespace

std::optional<StreamExpectation> ParseExpectation(std::wstring_view text)
{
    StreamExpectation expectation;
    bool any = false;
    while (!text.empty() || !any)
    {
        const size_t comma = text.find(L',');
        const std::wstring_view part = Trim(text.substr(0, comma));
        text = comma == std::wstring_view::npos ? std::wstring_view{} : text.substr(comma + 1);
        any = true;
        if (part == L"identity")
        {
            continue;
        }
        const size_t equals = part.find(L'=');
        if (equals == std::wstring_view::npos)
        {
            return std::nullopt;
        }
        const std::wstring_view name = Trim(part.substr(0, equals));
        double value = 0;
        if (!ParseNumber(Trim(part.substr(equals + 1)), value))
        {
            return std::nullopt;
        }
        if (name == L"gain")
        {
            expectation.gain = value;
        }
        else if (name == L"delay")
        {
            if (value < 0 || value > kMaxExpectedDelayFrames || value != std::floor(value))
            {
                return std::nullopt;
            }
            expectation.delayFrames = static_cast<uint32_t>(value);
        }
        else
        {
            return std::nullopt;
        }
    }
    return expectation;
}

std::wstring ExpectationText(const StreamExpectation& expectation)
{
    std::wostringstream text;
    text.precision(17);
    if (expectation.gain != 1.0)
    {
        text << L"gain=" << expectation.gain;
    }
    if (expectation.delayFrames != 0)
    {
        text << (expectation.gain != 1.0 ? L"," : L"") << L"delay=" << expectation.delayFrames;
    }
    const std::wstring result = text.str();
    return result.empty() ? L"identity" : result;
}

} // namespace simulation
