#pragma once
// A small HTTP client for the tests (Boost.Beast), every exchange bounded by a time-out.
#include <cstdint>
#include <string>

namespace reflib_test
{
struct CHttpResult
{
    bool connected = false;
    int status = 0;
    std::string body;
    std::string wwwAuthenticate;
};

struct CCredentials
{
    std::string user;
    std::string password;
};

CHttpResult HttpRequest(std::uint16_t port, const std::string& method, const std::string& target,
                        const std::string& body = "", const CCredentials* credentials = nullptr);
// A port that was free a moment ago.
std::uint16_t FreePort();
} // namespace reflib_test
