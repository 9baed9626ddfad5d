#pragma once
// What the web server checks before it looks at a request's content: where the request was sent (the
// Host header), which page sent it (Origin), what it carries (Content-Type), and how often a caller may
// try a password. Together they keep other web sites out: a page elsewhere cannot post a form or a
// plain-text body to /json, cannot read or change anything through a name of its own resolved to this
// computer (DNS rebinding), and cannot guess the password at full speed.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmar::reflib
{
struct CHostPort
{
    std::string host; // lower case; an IPv6 address keeps its brackets
    std::optional<std::uint16_t> port;
    bool ipLiteral = false;
};

// "host[:port]" as a Host header carries it: a name, a dotted IPv4 address or a bracketed IPv6
// address, and an optional decimal port. Null when it is anything else.
std::optional<CHostPort> ParseHostPort(std::string_view text);

// A Host header that names this computer: an IP address, "localhost" or one of `computerNames`
// (compared without regard to case), with or without a port.
bool IsLocalHost(std::string_view hostHeader, const std::vector<std::string>& computerNames);

// An Origin header that names the listener's scheme ("http", or "https" when `secure`) and the same
// host and port (80, or 443 when `secure`, when absent) as the Host header.
bool IsSameOrigin(std::string_view origin, std::string_view hostHeader, bool secure = false);

// "application/json", with or without parameters (such as a charset).
bool IsJsonContentType(std::string_view contentType);

// The names of this computer (DNS host name, fully qualified DNS name, NetBIOS name), in UTF-8.
std::vector<std::string> LocalComputerNames();

// Failed logins per remote address. Five failures in a row are free; after the fifth and every further
// one the address waits before its next attempt: 1 s, then 2, 4 and at most 8 s. A success forgets the
// address. There is no permanent lockout: once the wait has run out the right password works at once.
class CLoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr unsigned kFreeFailures = 5;
    static constexpr std::chrono::seconds kFirstWait{1};
    static constexpr std::chrono::seconds kLongestWait{8};

    // How long `address` still has to wait at `now` before it may try; zero when it may try now.
    Clock::duration Wait(const std::string& address, Clock::time_point now);
    void Failed(const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& address);

    // The wait after `failures` failures in a row.
    static Clock::duration WaitAfter(unsigned failures);

private:
    struct CEntry
    {
        unsigned failures = 0;
        Clock::time_point until;
        Clock::time_point last;
    };

    std::mutex m_mutex;
    std::unordered_map<std::string, CEntry> m_entries;
};
} // namespace velmar::reflib
