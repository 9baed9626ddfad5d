#include "reflib/WebGuard.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace velmar::reflib
{
namespace
{
char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string_view text)
{
    std::string lowered;
    lowered.reserve(text.size());
    std::transform(text.begin(), text.end(), std::back_inserter(lowered), Lower);
    return lowered;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}

// Four decimal numbers 0..255 of one to three digits, separated by dots.
bool IsDottedIpv4(std::string_view text)
{
    int parts = 0;
    while (true)
    {
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && IsDigit(text[digits]))
        {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
            if (digits > 3)
            {
                return false;
            }
        }
        if (digits == 0 || value > 255)
        {
            return false;
        }
        ++parts;
        text.remove_prefix(digits);
        if (text.empty())
        {
            return parts == 4;
        }
        if (text.front() != '.' || parts == 4)
        {
            return false;
        }
        text.remove_prefix(1);
    }
}

bool IsIpv6(std::string_view text)
{
    if (text.empty() || text.size() > 45)
    {
        return false;
    }
    const std::string copy(text);
    IN6_ADDR address{};
    return ::InetPtonA(AF_INET6, copy.c_str(), &address) == 1;
}

bool IsNameCharacter(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '.' || c == '_';
}

std::optional<std::string> ComputerName(COMPUTER_NAME_FORMAT format)
{
    DWORD size = 0;
    ::GetComputerNameExW(format, nullptr, &size);
    if (size == 0)
    {
        return std::nullopt;
    }
    std::wstring name(size, L'\0');
    if (!::GetComputerNameExW(format, name.data(), &size))
    {
        return std::nullopt;
    }
    name.resize(size);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr,
                                            0, nullptr, nullptr);
    if (bytes <= 0)
    {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), text.data(), bytes, nullptr,
                          nullptr);
    return text;
}
} // namespace

std::optional<CHostPort> ParseHostPort(std::string_view text)
{
    CHostPort parsed;
    std::string_view rest;
    if (!text.empty() && text.front() == '[')
    {
        const auto close = text.find(']');
        if (close == std::string_view::npos || !IsIpv6(text.substr(1, close - 1)))
        {
            return std::nullopt;
        }
        parsed.host = LowerText(text.substr(0, close + 1));
        parsed.ipLiteral = true;
        rest = text.substr(close + 1);
    }
    else
    {
        const auto colon = text.find(':');
        parsed.host = LowerText(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
        if (parsed.host.empty() || !std::all_of(parsed.host.begin(), parsed.host.end(), IsNameCharacter))
        {
            return std::nullopt;
        }
        parsed.ipLiteral = IsDottedIpv4(parsed.host);
    }
    if (rest.empty())
    {
        return parsed;
    }
    if (rest.front() != ':')
    {
        return std::nullopt;
    }
    rest.remove_prefix(1);
    if (rest.empty() || rest.size() > 5 || !std::all_of(rest.begin(), rest.end(), IsDigit))
    {
        return std::nullopt;
    }
    unsigned port = 0;
    for (const char c : rest)
    {
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port > 65535)
    {
        return std::nullopt;
    }
    parsed.port = static_cast<std::uint16_t>(port);
    return parsed;
}

bool IsLocalHost(std::string_view hostHeader, const std::vector<std::string>& computerNames)
{
    const auto parsed = ParseHostPort(hostHeader);
    if (!parsed)
    {
        return false;
    }
    if (parsed->ipLiteral || parsed->host == "localhost")
    {
        return true;
    }
    return std::any_of(computerNames.begin(), computerNames.end(),
                       [&](const std::string& name)
                       { return !name.empty() && LowerText(name) == parsed->host; });
}

bool IsSameOrigin(std::string_view origin, std::string_view hostHeader, bool secure)
{
    const std::string_view scheme = secure ? "https://" : "http://";
    const std::uint16_t defaultPort = secure ? 443 : 80;
    if (origin.size() <= scheme.size() || LowerText(origin.substr(0, scheme.size())) != scheme)
    {
        return false;
    }
    const auto from = ParseHostPort(origin.substr(scheme.size()));
    const auto to = ParseHostPort(hostHeader);
    return from && to && from->host == to->host &&
           from->port.value_or(defaultPort) == to->port.value_or(defaultPort);
}

bool IsJsonContentType(std::string_view contentType)
{
    const auto semicolon = contentType.find(';');
    return LowerText(Trim(contentType.substr(0, semicolon))) == "application/json";
}

std::vector<std::string> LocalComputerNames()
{
    std::vector<std::string> names;
    for (const auto format : {ComputerNameDnsHostname, ComputerNameDnsFullyQualified, ComputerNameNetBIOS})
    {
        if (auto name = ComputerName(format); name && !name->empty())
        {
            names.push_back(std::move(*name));
        }
    }
    return names;
}

CLoginThrottle::Clock::duration CLoginThrottle::WaitAfter(unsigned failures)
{
    if (failures < kFreeFailures)
    {
        return Clock::duration::zero();
    }
    const unsigned doublings = std::min(failures - kFreeFailures, 3u);
    return std::min<Clock::duration>(kFirstWait * (1 << doublings), kLongestWait);
}

CLoginThrottle::Clock::duration CLoginThrottle::Wait(const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(address);
    if (found == m_entries.end() || found->second.until <= now)
    {
        return Clock::duration::zero();
    }
    return found->second.until - now;
}

void CLoginThrottle::Failed(const std::string& address, Clock::time_point now)
{
    constexpr std::size_t kPruneAbove = 1024;
    constexpr std::size_t kMostAddresses = 4096;
    constexpr auto kForgetAfter = std::chrono::minutes(10);
    std::lock_guard lock(m_mutex);
    if (m_entries.size() > kPruneAbove && !m_entries.contains(address))
    {
        std::erase_if(m_entries, [&](const auto& entry) { return now - entry.second.last > kForgetAfter; });
        if (m_entries.size() >= kMostAddresses)
        {
            m_entries.erase(std::min_element(m_entries.begin(), m_entries.end(),
                                             [](const auto& a, const auto& b)
                                             { return a.second.last < b.second.last; }));
        }
    }
    CEntry& entry = m_entries[address];
    if (entry.failures < 1000)
    {
        ++entry.failures;
    }
    entry.last = now;
    entry.until = now + WaitAfter(entry.failures);
}

void CLoginThrottle::Succeeded(const std::string& address)
{
    std::lock_guard lock(m_mutex);
    m_entries.erase(address);
}
} // namespace velmar::reflib
