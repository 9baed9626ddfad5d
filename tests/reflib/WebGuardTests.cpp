// The web server's checks on Host, Origin and Content-Type, and the login throttle's schedule, on
// their own (the server's use of them is in WebServerTests.cpp).
#include "reflib/WebGuard.h"

#include <gtest/gtest.h>

using namespace velmar::reflib;
using namespace std::chrono_literals;

TEST(WebGuard, HostNamesThisComputerOnlyAsAnAddressLocalhostOrItsOwnName)
{
    const std::vector<std::string> names{"Desk-PC", "desk-pc.example.lan"};
    for (const char* host :
         {"127.0.0.1", "127.0.0.1:8080", "192.168.1.20:1", "[::1]", "[::1]:8080", "[FE80::1:2]:80",
          "localhost", "LocalHost:18080", "desk-pc", "DESK-PC:80", "desk-pc.example.lan:65535"})
    {
        EXPECT_TRUE(IsLocalHost(host, names)) << host;
    }
    for (const char* host :
         {"", "evil.example", "evil.example:8080", "127.0.0.1.evil.example", "localhost.evil.example",
          "desk-pc.evil", "1.2.3", "1.2.3.4.5", "256.1.1.1", "::1", "[::1", "[not:an:address]", "[::1]x",
          "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:80:80", "localhost:http", "local host", "localhost/x"})
    {
        EXPECT_FALSE(IsLocalHost(host, names)) << host;
    }
    EXPECT_FALSE(IsLocalHost("anything", {""}));
}

TEST(WebGuard, OriginMustBeThisListenersSchemeHostAndPort)
{
    EXPECT_TRUE(IsSameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(IsSameOrigin("HTTP://Desk-PC", "desk-pc:80"));
    EXPECT_TRUE(IsSameOrigin("http://[::1]:80", "[::1]"));
    for (const char* origin :
         {"null", "", "http://evil.example:8080", "https://127.0.0.1:8080", "http://127.0.0.1",
          "http://127.0.0.1:8081", "http://127.0.0.1:8080/", "ftp://127.0.0.1:8080", "http://localhost:8080"})
    {
        EXPECT_FALSE(IsSameOrigin(origin, "127.0.0.1:8080")) << origin;
    }
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:8080", ""));
    // The TLS listener's pages come from https, 443 by default.
    EXPECT_TRUE(IsSameOrigin("https://127.0.0.1:8443", "127.0.0.1:8443", true));
    EXPECT_TRUE(IsSameOrigin("https://desk-pc", "Desk-PC:443", true));
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:8443", "127.0.0.1:8443", true));
    EXPECT_FALSE(IsSameOrigin("https://desk-pc", "desk-pc:80", true));
}

TEST(WebGuard, OnlyJsonContentIsAccepted)
{
    for (const char* type : {"application/json", "Application/JSON", "application/json; charset=utf-8",
                             " application/json ;charset=UTF-8"})
    {
        EXPECT_TRUE(IsJsonContentType(type)) << type;
    }
    for (const char* type : {"", "text/plain", "application/x-www-form-urlencoded", "multipart/form-data",
                             "application/jsonx", "application/json-patch+json", "text/json"})
    {
        EXPECT_FALSE(IsJsonContentType(type)) << type;
    }
}

TEST(WebGuard, ThisComputerHasItsNames)
{
    const auto names = LocalComputerNames();
    ASSERT_FALSE(names.empty());
    for (const auto& name : names)
    {
        EXPECT_TRUE(IsLocalHost(name, {name})) << name;
    }
}

TEST(LoginThrottle, FiveFreeFailuresThenWaitsDoublingUpToEightSecondsUntilASuccess)
{
    using Clock = CLoginThrottle::Clock;
    CLoginThrottle throttle;
    Clock::time_point now{1h};
    const auto fail = [&](unsigned times)
    {
        for (unsigned i = 0; i < times; ++i)
        {
            ASSERT_EQ(Clock::duration::zero(), throttle.Wait("10.0.0.1", now)) << i;
            throttle.Failed("10.0.0.1", now);
        }
    };
    fail(5);
    EXPECT_EQ(Clock::duration(1s), throttle.Wait("10.0.0.1", now));
    EXPECT_EQ(Clock::duration::zero(), throttle.Wait("10.0.0.2", now)); // per address
    now += 400ms;
    EXPECT_EQ(Clock::duration(600ms), throttle.Wait("10.0.0.1", now));
    for (const auto expected : {2s, 4s, 8s, 8s, 8s})
    {
        now = now + throttle.Wait("10.0.0.1", now); // the wait has run out: one more try
        fail(1);
        EXPECT_EQ(Clock::duration(expected), throttle.Wait("10.0.0.1", now));
    }
    now += 8s;
    throttle.Succeeded("10.0.0.1");
    fail(5); // forgotten: five free failures again
    EXPECT_EQ(Clock::duration(1s), throttle.Wait("10.0.0.1", now));
}
